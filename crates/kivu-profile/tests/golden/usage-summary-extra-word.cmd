# Two profiles to summary.
kivu-profile summary a b
