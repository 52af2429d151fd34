# Not a decimal number.
KIVU_SIM_BOARDS=four kivu-boards
