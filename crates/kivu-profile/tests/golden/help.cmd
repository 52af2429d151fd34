# The whole help.
kivu-profile --help
