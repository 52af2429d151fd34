# Two subcommands.
kivu-boards slurm-gres resource-spec
