# A negative count.
kivu-profile diff a b --top -3
