# A bad KIVU_SIM_BOARDS does not stop --version.
KIVU_SIM_BOARDS=65 kivu-boards resource-spec --version
