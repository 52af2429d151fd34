# A word that is no subcommand.
kivu-boards list
