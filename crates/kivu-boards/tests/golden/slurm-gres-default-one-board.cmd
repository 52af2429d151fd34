# One board when KIVU_SIM_BOARDS is unset.
kivu-boards slurm-gres
