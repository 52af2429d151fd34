# The whole help on standard output.
kivu-boards --help
