# Two outputs.
kivu-boards resource-spec -o a --output=b
