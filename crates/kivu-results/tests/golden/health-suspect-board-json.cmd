# The same as JSON: one object per board, its tiles most first.
kivu-results record --db s.sqlite --commit c1 inputs/fleet-bad-board-2.xml >/dev/null && kivu-results health --db s.sqlite --json
