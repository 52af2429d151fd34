# summary without a profile.
kivu-profile summary
