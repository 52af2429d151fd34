# Written to the file given, nothing on standard output.
KIVU_SIM_BOARDS=2 kivu-boards resource-spec --output=boards.json && cat boards.json
