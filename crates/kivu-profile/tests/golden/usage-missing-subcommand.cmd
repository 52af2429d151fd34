# No subcommand.
kivu-profile 
