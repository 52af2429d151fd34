# The CTest resource file on standard output.
KIVU_SIM_BOARDS=3 kivu-boards resource-spec
