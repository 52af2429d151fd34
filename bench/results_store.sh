#!/bin/bash
# Figures of the results store, each against the sqlite3 shell doing the
# same work on the same machine in the same run, with the load average:
#   - record: 1,000 runs x 20 cases into SQLite, in one process through the
#     library (results_record_bench: read, hash and store each run as
#     `record` does) and as 1,000 `kivu-results record` processes, against
#     the sqlite3 shell importing the same rows (runs, case results,
#     properties) from CSV into the same schema; the processes' time split
#     into starting the program, opening the store, and the record's own work;
#   - flaky over 1,000,000 case results against the sqlite3 shell running
#     the same GROUP BY on the same file;
#   - trend on 250, 1,000 and 4,000 points;
#   - 8 processes x 50 records at once into SQLite and into PostgreSQL (a
#     cluster of its own in the work folder, Unix socket only): 400 runs
#     afterwards, none doubled.
# Times are wall and CPU (user + system of the command and its children),
# the median of three (one for the 1,000 processes and the concurrent
# records); on a shared machine the CPU ratios are the ones to read.
#
#   bench/results_store.sh [BUILD_DIR]     (default target/release; it needs
#                                           kivu-results and results_record_bench)
set -eu
dir=${1:-target/release}
tool="$dir/kivu-results"
in_process="$dir/results_record_bench"
for program in "$tool" "$in_process"; do
  [ -x "$program" ] || { echo "results_store.sh: $program is not built" >&2; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "results_store.sh: sqlite3 is missing (scripts/install-deps.sh)" >&2; exit 1; }
work=$(mktemp -d)
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ "$(id -u)" -eq 0 ]; then as_pg=(setpriv --reuid=nobody --regid=nogroup --clear-groups --); else as_pg=(); fi
pgdata="$work/pg/data"
stop_server() {
  if [ -f "$pgdata/postmaster.pid" ]; then "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdata" -m immediate -w stop >/dev/null 2>&1; fi
  return 0
}
trap 'stop_server; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

. "$(dirname "$0")/lib/store_figures.sh"
minus() { printf '%.3f' "$(echo "$1 - $2" | bc -l)"; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- record: 1,000 runs x 20 cases -------------------------------------------
# The result files, and the rows record writes of them as CSV.
mkdir "$work/xml"
awk -v dir="$work/xml" -v csv="$work" 'BEGIN {
  for (r = 1; r <= 1000; r++) {
    file = dir "/" r ".xml"
    print "<?xml version=\"1.0\" encoding=\"UTF-8\"?><testsuites><testsuite name=\"hardware_e2e\">" > file
    for (c = 1; c <= 20; c++) {
      failed = (c == r % 20 + 1)
      printf "<testcase name=\"case_%d\" status=\"run\" result=\"completed\" time=\"0.1\" classname=\"hardware_e2e\">", c > file
      printf "<properties><property name=\"host\" value=\"h\"/><property name=\"board\" value=\"%d\"/></properties>", c % 4 > file
      if (failed) printf "<failure message=\"expected 1\">frame.cpp:1 expected 1</failure>" > file
      print "</testcase>" > file
      printf "%d,c%d,hardware_e2e.case_%d,%d,0.1,h:%d,%s\n", r, r, c, failed, c % 4, failed ? "\"expected 1\nframe.cpp:1 expected 1\"" : "" > (csv "/case_results.csv")
      printf "%d,hardware_e2e.case_%d,host,h\n%d,hardware_e2e.case_%d,board,%d\n", r, c, r, c, c % 4 > (csv "/case_properties.csv")
    }
    print "</testsuite></testsuites>" > file
    close(file)
    printf "%d,c%d,2026-01-01T00:00:00Z,%064d,19,1,0,0\n", r, r, r > (csv "/runs.csv")
  }
}'
record_processes() {
  for r in $(seq 1 1000); do "$tool" record --db "$work/processes.sqlite" --commit "c$r" "$work/xml/$r.xml"; done
}
start_processes() { for r in $(seq 1 1000); do "$tool" --version; done; }
open_processes() { for r in $(seq 1 1000); do "$tool" runs --db "$work/processes.sqlite" --last 1; done; }
import_rows() {
  rm -f "$work/import.sqlite"*
  "$tool" runs --db "$work/import.sqlite"  # the store's schema and indexes, empty, in WAL mode
  sqlite3 "$work/import.sqlite" -cmd "PRAGMA synchronous = NORMAL" ".mode csv" ".import $work/runs.csv runs" \
    ".import $work/case_results.csv case_results" ".import $work/case_properties.csv case_properties"
}
record_in_process() { rm -f "$work/in-process.sqlite"*; "$in_process" "$work/in-process.sqlite" "$work/xml"; }
import=$(median3 import_rows)
in_process=$(median3 record_in_process)
processes=$(sample record_processes)
starts=$(sample start_processes)
opens=$(sample open_processes)
check_rows() {  # check_rows STORE: the rows record wrote, as the import wrote them
  sqlite3 "$1" "SELECT (SELECT COUNT(*) FROM runs) || ' runs, ' || (SELECT COUNT(*) FROM case_results) || ' case results, ' || (SELECT COUNT(*) FROM case_properties) || ' properties'"
}
echo "record 1,000 runs x 20 cases; the sqlite3 shell's .import of the same rows ($(check_rows "$work/import.sqlite")): wall $(wall "$import")s, CPU $(cpu "$import")s"
echo "  in one process ($(check_rows "$work/in-process.sqlite")): $(ratios "$in_process" "$import")"
echo "  1,000 processes ($(check_rows "$work/processes.sqlite")): $(ratios "$processes" "$import")"
echo "    CPU of starting the program (--version): $(cpu "$starts")s, of opening the store and one query (runs --last 1, less the start): $(minus "$(cpu "$opens")" "$(cpu "$starts")")s, of the rest (read, hash, write, commit): $(minus "$(cpu "$processes")" "$(cpu "$opens")")s"

# --- flaky over 1,000,000 case results ---------------------------------------
db="$work/flaky.sqlite"
fill_million_results "$tool" "$db"
shell_flaky() {
  sqlite3 "$db" "SELECT commit_id, case_name, SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END), SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) FROM case_results GROUP BY commit_id, case_name HAVING SUM(CASE WHEN verdict = 0 THEN 1 ELSE 0 END) > 0 AND SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) > 0"
}
flaky=$(median3 "$tool" flaky --db "$db" --json)
shell=$(median3 shell_flaky)
echo "flaky over 1,000,000 case results ($("$tool" flaky --db "$db" --json | grep -c '"case"') flaky, $(shell_flaky | wc -l) rows from the shell): $(ratios "$flaky" "$shell"); sqlite3 GROUP BY: wall $(wall "$shell")s, CPU $(cpu "$shell")s"

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
  trend=$(median3 "$tool" trend --db "$db" --metric exchange_cycles --json)
  echo "trend on $points points: wall $(wall "$trend")s, CPU $(cpu "$trend")s"
done

# --- 8 processes x 50 records at once ----------------------------------------
concurrent() {  # concurrent STORE: 8 processes, each recording 50 runs of its own
  local p
  for p in 1 2 3 4 5 6 7 8; do
    (for r in $(seq 1 50); do "$tool" record --db "$1" --commit "p$p-r$r" "$work/xml/$r.xml" >/dev/null || exit 1; done) &
  done
  local failed=0
  for p in 1 2 3 4 5 6 7 8; do wait -n || failed=$((failed + 1)); done
  [ "$failed" -eq 0 ] || echo "concurrent records: $failed processes failed" >&2
}
counted() {  # counted STORE: runs, distinct ids and distinct commits afterwards
  "$tool" runs --db "$1" --json >"$work/runs.json"
  echo "$(grep -c '"id"' "$work/runs.json") runs, $(grep '"id"' "$work/runs.json" | sort -u | wc -l) ids, $(grep '"commit"' "$work/runs.json" | sort -u | wc -l) commits"
}
sqlite_concurrent=$(sample concurrent "$work/concurrent.sqlite")
echo "8 processes x 50 records into SQLite: wall $(wall "$sqlite_concurrent")s, CPU $(cpu "$sqlite_concurrent")s ($(counted "$work/concurrent.sqlite"))"
if [ -n "$pgbin" ] && [ -x "$pgbin/initdb" ]; then
  mkdir "$work/pg"
  chmod 755 "$work"
  if [ ${#as_pg[@]} -gt 0 ]; then chown nobody "$work/pg"; fi
  "${as_pg[@]}" "$pgbin/initdb" -D "$pgdata" -U kivu -A trust --locale=C -E UTF8 >/dev/null
  "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdata" -l "$work/pg/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$work/pg' -c max_connections=40" start >/dev/null
  "$pgbin/psql" -h "$work/pg" -U kivu -X -q -d postgres -c "CREATE DATABASE concurrent"
  url="postgresql://kivu@/concurrent?host=$work/pg"
  postgres_concurrent=$(sample concurrent "$url")
  echo "8 processes x 50 records into PostgreSQL $("$pgbin/postgres" --version | awk '{print $3}'): $(ratios "$postgres_concurrent" "$sqlite_concurrent") SQLite's (the server's CPU not counted) ($(counted "$url"))"
else
  echo "8 processes x 50 records into PostgreSQL: skipped, the server's programs are missing (scripts/install-deps.sh postgres)"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
