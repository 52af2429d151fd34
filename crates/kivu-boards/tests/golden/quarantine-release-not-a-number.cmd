# release needs a number: exit 2.
kivu-boards release two
