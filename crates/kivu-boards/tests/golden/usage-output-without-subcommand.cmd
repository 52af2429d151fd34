# The listing writes no file.
kivu-boards -o x.json
