# More than six decimals.
kivu-profile diff a b --threshold 1.0000001
