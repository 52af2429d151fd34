# A negative threshold.
kivu-profile diff a b --threshold -1
