# --help after a subcommand.
kivu-profile heatmap --help
