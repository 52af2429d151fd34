# The runs as JSON: recorded_at is the one key that changes from run to run.
set -o pipefail
kivu-results runs --db s.sqlite --json
kivu-results record --db s.sqlite --commit c1 --label board_kind=sim --label firmware=7.2 inputs/results >/dev/null
kivu-results runs --db s.sqlite --json | sed -E "s/\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z\"/\"YYYY-MM-DDThh:mm:ssZ\"/"
