# A flag given a value.
kivu-boards --json --json=no
