# --help after a subcommand shows the same text.
kivu-boards resource-spec --help
