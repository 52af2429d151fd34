# An unreadable file (here a folder): no board is handed out, exit 4.
mkdir q.json && KIVU_QUARANTINE_FILE=q.json KIVU_SIM_BOARDS=2 kivu-boards slurm-gres
