# A sign is not a digit.
kivu-profile diff a b --top +3
