# A corrupt quarantine file is never replaced: exit 10, the file unchanged.
mkdir -p .local/state/kivu && echo garbage > .local/state/kivu/quarantine.json && kivu-results record --db s.sqlite --commit c1 inputs/fleet-bad-board-2.xml >/dev/null; kivu-results quarantine --db s.sqlite --apply; status=$?; cat .local/state/kivu/quarantine.json; exit $status
