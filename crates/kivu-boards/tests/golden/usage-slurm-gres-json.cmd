# --json belongs to the listing.
kivu-boards slurm-gres --json
