# --help after a subcommand.
kivu-profile trace --help
