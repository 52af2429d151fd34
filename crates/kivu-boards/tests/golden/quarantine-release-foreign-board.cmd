# Releasing a board the host lacks: exit 2.
KIVU_SIM_BOARDS=4 kivu-boards release 7
