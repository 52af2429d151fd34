# --alpha on both sides of its limits: a decimal above 0 and below 1 with at
# most 19 places after its point (one more place is refused; nineteen nines
# round to 1 and are refused too); no sign or exponent. One line per value
# with its exit status.
for a in 0 0.0 0.0000000000000000001 .5 0.999999999999999 0.9999999999999999999 1.0 0.00000000000000000001 \
  5e-2 -0.5 +0.5 ''; do \
  kivu-results health --db s.sqlite --alpha "$a" >/dev/null; echo "${a:-(empty)}: $?"; done
