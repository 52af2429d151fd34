# A word after the subcommand.
kivu-boards resource-spec extra
