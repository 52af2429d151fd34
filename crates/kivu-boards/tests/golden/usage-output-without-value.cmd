# -o at the end.
kivu-boards resource-spec -o
