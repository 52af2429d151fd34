# A word that is no subcommand.
kivu-profile show p
