# An unknown option after the subcommand.
kivu-boards resource-spec --all
