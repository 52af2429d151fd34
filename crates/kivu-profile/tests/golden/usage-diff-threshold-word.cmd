# A threshold that is no number.
kivu-profile diff a b --threshold five
