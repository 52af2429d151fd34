# Without KIVU_SIM_BOARDS the host has one simulated board.
# REQUIRES: private-network
kivu-boards
