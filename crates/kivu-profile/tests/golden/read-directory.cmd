# A folder given as the profile.
kivu-profile summary inputs
