# A large alpha: boards that fail no more than the rest (p 1) still stay ok.
kivu-results record --db s.sqlite --commit c1 inputs/fleet-bad-board-2.xml >/dev/null && kivu-results health --db s.sqlite --alpha 0.99 --json
