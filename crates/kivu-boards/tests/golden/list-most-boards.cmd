# The largest board count accepted.
# REQUIRES: private-network
KIVU_SIM_BOARDS=64 kivu-boards --json
