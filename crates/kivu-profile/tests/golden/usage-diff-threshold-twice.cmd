# Two thresholds.
kivu-profile diff a b --threshold 5 --threshold=5
