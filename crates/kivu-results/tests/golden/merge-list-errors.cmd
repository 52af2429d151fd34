# The list of cases cannot be read, or names no case: the work fails (exit 1).
# Bad arguments: exit 2, with a short usage line.
kivu-results merge --expected absent.txt inputs/results; echo "status $?"
: >empty.txt
kivu-results merge --expected empty.txt inputs/results; echo "status $?"
kivu-results merge inputs/results; echo "status $?"
kivu-results merge --expected; echo "status $?"
kivu-results merge --expected inputs/cases.txt; echo "status $?"
kivu-results merge --expected inputs/cases.txt --all inputs/results; echo "status $?"
kivu-results merge --expected inputs/cases.txt -o "" inputs/results; echo "status $?"
kivu-results merge --expected a --expected b inputs/results; echo "status $?"
