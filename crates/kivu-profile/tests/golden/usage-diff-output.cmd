# diff writes no file.
kivu-profile diff a b -o x
