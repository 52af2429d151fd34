# Above the board counts accepted.
KIVU_SIM_BOARDS=65 kivu-boards slurm-gres
