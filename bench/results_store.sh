#!/bin/bash
# Figures of the results store, each against the sqlite3 shell doing the
# same work on the same machine in the same run, with the load average:
#   - record: 1,000 runs x 20 cases, one kivu-results record each, against
#     the sqlite3 shell importing the same 20,000 rows from CSV;
#   - flaky over 1,000,000 case results against the sqlite3 shell running
#     the same GROUP BY on the same file;
#   - trend on 250, 1,000 and 4,000 points.
#
#   bench/results_store.sh [BUILD_DIR]     (default target/release)
set -eu
dir=${1:-target/release}
tool="$dir/kivu-results"
[ -x "$tool" ] || { echo "results_store.sh: $tool is not built" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "results_store.sh: sqlite3 is missing (scripts/install-deps.sh)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seconds() {  # seconds COMMAND...: the wall time of COMMAND
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- record: 1,000 runs x 20 cases -------------------------------------------
mkdir "$work/xml"
for r in $(seq 1 1000); do
  {
    echo '<?xml version="1.0" encoding="UTF-8"?><testsuites><testsuite name="hardware_e2e">'
    for c in $(seq 1 20); do
      echo "<testcase name=\"case_$c\" status=\"run\" result=\"completed\" time=\"0.1\" classname=\"hardware_e2e\"><properties><property name=\"host\" value=\"h\"/><property name=\"board\" value=\"$((c % 4))\"/></properties></testcase>"
    done
    echo '</testsuite></testsuites>'
  } >"$work/xml/$r.xml"
  for c in $(seq 1 20); do echo "$r,c$r,hardware_e2e.case_$c,0,0.1,h:$((c % 4)),"; done >>"$work/rows.csv"
done
record_all() { for r in $(seq 1 1000); do "$tool" record --db "$work/record.sqlite" --commit "c$r" "$work/xml/$r.xml"; done; }
record_time=$(seconds record_all)
"$tool" runs --db "$work/import.sqlite" >/dev/null  # the same schema, empty
import_all() {
  sqlite3 "$work/import.sqlite" -cmd "PRAGMA journal_mode = WAL" ".mode csv" ".import $work/rows.csv case_results"
}
import_time=$(seconds import_all)
echo "record 1,000 runs x 20 cases: ${record_time}s; sqlite3 .import of the 20,000 rows: ${import_time}s; ratio $(ratio "$record_time" "$import_time")"

# --- flaky over 1,000,000 case results ---------------------------------------
db="$work/flaky.sqlite"
"$tool" runs --db "$db" >/dev/null
sqlite3 "$db" <<'SQL'
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000)
INSERT INTO runs (id, commit_id, recorded_at, content_hash, passed, failed, missing, profiles)
SELECT i, 'c' || (i / 50), '2026-01-01T00:00:00Z', 'h' || i, 19, 1, 0, 0 FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999999)
INSERT INTO case_results (run_id, commit_id, case_name, verdict, seconds, board, failure)
SELECT i / 20 + 1, 'c' || ((i / 20 + 1) / 50), 'hardware_e2e.case_' || (i % 20),
       CASE WHEN (i * 7919) % 97 = 0 THEN 1 ELSE 0 END, 0.1, 'h:' || (i % 4), '' FROM n;
COMMIT;
SQL
flaky_time=$(seconds "$tool" flaky --db "$db" --json)
shell_flaky() {
  sqlite3 "$db" "SELECT commit_id, case_name, SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END), SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) FROM case_results GROUP BY commit_id, case_name HAVING SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END) > 0 AND SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) > 0"
}
shell_time=$(seconds shell_flaky)
echo "flaky over 1,000,000 case results: ${flaky_time}s; sqlite3 GROUP BY: ${shell_time}s; ratio $(ratio "$flaky_time" "$shell_time")"

# --- trend on 250, 1,000 and 4,000 points ------------------------------------
for points in 250 1000 4000; do
  db="$work/trend-$points.sqlite"
  "$tool" runs --db "$db" >/dev/null
  sqlite3 "$db" "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $points)
    INSERT INTO runs (id, commit_id, recorded_at, content_hash, passed, failed, missing, profiles)
    SELECT i, 'c' || i, '2026-01-01T00:00:00Z', 'h' || i, 0, 0, 0, 1 FROM n;
    INSERT INTO profiles SELECT id, 0, 'hardware_e2e.gemm', 1000000, 600000,
      CASE WHEN id > $points / 2 THEN 330000 ELSE 300000 END + (id * 7919) % 5000, 50000, 20000, 1, 9000, 1472, 1330000000
    FROM runs; COMMIT;"
  echo "trend on $points points: $(seconds "$tool" trend --db "$db" --metric exchange_cycles --json)s"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
