# resource-spec always writes JSON.
kivu-boards resource-spec --json
