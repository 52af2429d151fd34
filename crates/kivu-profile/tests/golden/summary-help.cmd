# --help after a subcommand.
kivu-profile summary --help
