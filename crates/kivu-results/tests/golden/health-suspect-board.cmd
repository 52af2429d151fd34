# One run where board 2 fails 10 of 30 cases on tile 714: board 2 alone is suspect, exit 3;
# tile 1000 fails on boards 1 and 3 and is named as the software's.
kivu-results record --db s.sqlite --commit c1 inputs/fleet-bad-board-2.xml >/dev/null && kivu-results health --db s.sqlite
