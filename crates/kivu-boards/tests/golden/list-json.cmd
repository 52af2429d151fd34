# The listing as JSON, keys in their fixed order.
# REQUIRES: private-network
KIVU_SIM_BOARDS=2 kivu-boards --json
