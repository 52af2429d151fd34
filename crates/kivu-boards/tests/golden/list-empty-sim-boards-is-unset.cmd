# An empty KIVU_SIM_BOARDS counts as unset.
# REQUIRES: private-network
KIVU_SIM_BOARDS= kivu-boards
