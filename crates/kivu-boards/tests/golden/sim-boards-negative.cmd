# A sign is not a digit.
KIVU_SIM_BOARDS=-1 kivu-boards resource-spec
