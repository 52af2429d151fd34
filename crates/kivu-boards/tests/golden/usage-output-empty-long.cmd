# An empty --output=.
kivu-boards slurm-gres --output=
