# "--" ends the options: -o after it is a word.
kivu-boards resource-spec -- -o x
