# Options may come before the subcommand; "--" ends them.
KIVU_SIM_BOARDS=2 kivu-boards -o - slurm-gres --
