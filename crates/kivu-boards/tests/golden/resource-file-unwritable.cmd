# A folder that does not exist: the system's reason, exit 1.
kivu-boards resource-spec -o missing/boards.json
