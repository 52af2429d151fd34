# An option the tool does not know.
kivu-boards --bogus
