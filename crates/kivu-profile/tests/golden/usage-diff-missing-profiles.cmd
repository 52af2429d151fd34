# diff without profiles.
kivu-profile diff
