# --threshold at the end.
kivu-profile diff a b --threshold
