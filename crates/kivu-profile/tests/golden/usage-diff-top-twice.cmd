# Two --top.
kivu-profile diff a b --top 1 --top 2
