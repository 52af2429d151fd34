# The subcommand comes first: exit 2.
kivu-results --db s.sqlite health
