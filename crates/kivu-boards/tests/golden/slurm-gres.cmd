# The two Slurm lines for four boards.
KIVU_SIM_BOARDS=4 kivu-boards slurm-gres
