# Written to the file given.
KIVU_SIM_BOARDS=64 kivu-boards slurm-gres -o gres.txt && cat gres.txt
