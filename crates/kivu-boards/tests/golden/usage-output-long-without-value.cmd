# --output at the end.
kivu-boards slurm-gres --output
