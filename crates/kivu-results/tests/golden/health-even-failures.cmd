# Every board fails one case on the same tile: no suspect, exit 0, the tile points at the software.
kivu-results record --db s.sqlite --commit c1 inputs/fleet-even.xml >/dev/null && kivu-results health --db s.sqlite
