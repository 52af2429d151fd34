# A word for alpha: exit 2.
kivu-results health --db s.sqlite --alpha lots
