# An empty output path.
kivu-boards resource-spec -o ''
