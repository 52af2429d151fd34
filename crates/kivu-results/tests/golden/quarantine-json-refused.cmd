# --json belongs to health: exit 2.
kivu-results quarantine --db s.sqlite --json
