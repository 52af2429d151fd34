# summary writes no file.
kivu-profile summary a -o x
