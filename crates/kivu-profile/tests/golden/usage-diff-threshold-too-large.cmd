# Above the largest threshold.
kivu-profile diff a b --threshold 1000000000.000001
