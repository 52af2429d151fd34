# --apply belongs to quarantine: exit 2.
kivu-results health --db s.sqlite --apply
