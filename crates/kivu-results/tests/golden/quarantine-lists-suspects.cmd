# Without --apply: the suspect boards, nothing written.
kivu-results record --db s.sqlite --commit c1 inputs/fleet-bad-board-2.xml >/dev/null && kivu-results quarantine --db s.sqlite && ! test -e .local/state/kivu/quarantine.json
