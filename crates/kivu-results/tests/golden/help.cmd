# The whole help: every subcommand, the default store (under $HOME), the exit statuses.
kivu-results --help
