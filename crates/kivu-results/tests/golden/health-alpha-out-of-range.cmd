# alpha must lie strictly between 0 and 1: exit 2.
kivu-results health --db s.sqlite --alpha 1
