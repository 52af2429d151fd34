# The runs, newest first: the table (recording times normalised) and --last.
set -o pipefail
for commit in c1 c2; do kivu-results record --db s.sqlite --commit "$commit" --label board_kind=sim inputs/results; done >/dev/null
kivu-results record --db s.sqlite --commit c3 inputs/flaky/pass.xml >/dev/null
kivu-results runs --db s.sqlite | sed -E "s/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z/YYYY-MM-DDThh:mm:ssZ/"
kivu-results runs --db s.sqlite --last 1 | sed -E "s/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z/YYYY-MM-DDThh:mm:ssZ/"
