# "-o -" is standard output.
KIVU_SIM_BOARDS=2 kivu-boards resource-spec -o -
