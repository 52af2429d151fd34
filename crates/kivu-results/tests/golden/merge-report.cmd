# Four listed cases reported (a pass, a failure, a skip) or not (two), one
# not listed and one disabled: the JUnit report on standard output, the
# notes and the summary on standard error, exit 1.
kivu-results merge --expected inputs/cases.txt inputs/results
