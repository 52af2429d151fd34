# Below the board counts accepted.
KIVU_SIM_BOARDS=0 kivu-boards resource-spec
