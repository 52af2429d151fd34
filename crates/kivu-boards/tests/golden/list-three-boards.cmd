# The table of three free boards (no other process binds a lock in the namespace).
# REQUIRES: private-network
KIVU_SIM_BOARDS=3 kivu-boards
