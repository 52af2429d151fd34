# No runs: nothing to judge, exit 0.
kivu-results health --db s.sqlite
