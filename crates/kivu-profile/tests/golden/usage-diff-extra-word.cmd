# Three profiles.
kivu-profile diff a b c
