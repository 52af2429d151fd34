# --apply writes the file under $HOME/.local/state, once; a second apply adds nothing.
kivu-results record --db s.sqlite --commit c1 inputs/fleet-bad-board-2.xml >/dev/null && kivu-results quarantine --db s.sqlite --apply && kivu-results quarantine --db s.sqlite --apply && grep -c '"board": 2' .local/state/kivu/quarantine.json
