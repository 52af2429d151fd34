# Shared by the benchmarks of the results store (bench/results_store.sh,
# bench/fleet_soak.sh), sourced: timing a command against the sqlite3 shell
# doing the same work, and a large synthetic store to time it on.

sample() {  # sample COMMAND...: "WALL CPU" of COMMAND in seconds (CPU: user + system, children included)
  local TIMEFORMAT='%R %U %S' line
  line=$({ time "$@" >/dev/null 2>&1; } 2>&1)
  echo "$line" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}
median3() {  # median3 COMMAND...: the sample of three with the median wall time
  { sample "$@"; sample "$@"; sample "$@"; } | sort -g | sed -n 2p
}
wall() { echo "${1% *}"; }
cpu() { echo "${1#* }"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ratios() {  # ratios SAMPLE BASE: "wall W s = R x, CPU C s = R x"
  echo "wall $(wall "$1")s = $(ratio "$(wall "$1")" "$(wall "$2")") x, CPU $(cpu "$1")s = $(ratio "$(cpu "$1")" "$(cpu "$2")") x"
}

# fill_million_results TOOL DB [failed_tiles]: a new store DB (made by TOOL,
# kivu-results) with 50,000 runs x 20 cases over 4 boards of one host, one
# case in 97 failed; with failed_tiles, each failure has its failed_tile.
fill_million_results() {
  local tool=$1 db=$2 tiles=""
  "$tool" runs --db "$db" >/dev/null
  if [ "${3:-}" = failed_tiles ]; then
    tiles="INSERT INTO case_properties (run_id, case_name, name, value)
SELECT run_id, case_name, 'failed_tile', CAST(run_id % 1472 AS TEXT) FROM case_results WHERE verdict = 1;"
  fi
  sqlite3 "$db" <<SQL
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000)
INSERT INTO runs (id, commit_id, recorded_at, content_hash, passed, failed, missing, profiles)
SELECT i, 'c' || (i / 50), '2026-01-01T00:00:00Z', 'h' || i, 19, 1, 0, 0 FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999999)
INSERT INTO case_results (run_id, commit_id, case_name, verdict, seconds, board, failure)
SELECT i / 20 + 1, 'c' || ((i / 20 + 1) / 50), 'hardware_e2e.case_' || (i % 20),
       CASE WHEN (i * 7919) % 97 = 0 THEN 1 ELSE 0 END, 0.1, 'h:' || (i % 4), '' FROM n;
$tiles
COMMIT;
SQL
}
