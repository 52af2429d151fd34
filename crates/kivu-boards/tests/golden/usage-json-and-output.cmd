# --json with -o: the listing writes no file.
kivu-boards --json -o x.json
