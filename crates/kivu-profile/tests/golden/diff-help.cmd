# --help after a subcommand.
kivu-profile diff --help
