# direct_multicast_works failed and passed on commit c1: flaky, with the
# board it failed on; on c2 it only failed.
kivu-results flaky --db s.sqlite
kivu-results record --db s.sqlite --commit c1 inputs/results >/dev/null
kivu-results record --db s.sqlite --commit c1 inputs/flaky/pass.xml >/dev/null
kivu-results record --db s.sqlite --commit c2 inputs/results >/dev/null
kivu-results flaky --db s.sqlite
kivu-results flaky --db s.sqlite --json
