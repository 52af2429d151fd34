# An option the tool does not know.
kivu-profile --bogus
