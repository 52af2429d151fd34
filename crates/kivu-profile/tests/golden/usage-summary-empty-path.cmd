# An empty profile path.
kivu-profile summary ''
