#!/bin/bash
# Drives the kivu-results program against real stores, as a lab would:
#
#   store_cli_test.sh KIVU_RESULTS SQLITE3 sqlite     bad inputs, kill -9 and concurrency on SQLite
#   store_cli_test.sh KIVU_RESULTS SQLITE3 postgres   the same questions over SQLite and over a
#                                                     PostgreSQL cluster of its own, concurrency,
#                                                     a server that is down or goes away
#
# The PostgreSQL cluster is made with initdb in a private folder, as the
# unprivileged user nobody when run as root, listens only on a Unix socket in
# that folder (listen_addresses=''), and is stopped on every path: by the
# EXIT trap, and, should this script be killed outright, by a watchdog in a
# session of its own that stops it once this script's process is gone.
# Exits 77 (skipped, with the reason) when the server's programs are missing.
set -u
tool=$1
sqlite3=$2
mode=$3
if ! [ -x "$sqlite3" ]; then
  echo "skipped: the sqlite3 shell is missing (scripts/install-deps.sh installs it)"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kivu-results-test.XXXXXX")
chmod 755 "$work"
failures=0
passes=0

cleanup_work() { rm -rf "$work"; }
trap cleanup_work EXIT

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passes=$((passes + 1))
  else
    failures=$((failures + 1))
    echo "FAILED: $1: expected [$2], got [$3]"
  fi
}

# run_status EXPECTED_STATUS NAME ARGS...: the status, and one line on standard error.
run_status() {
  local expected=$1 name=$2
  shift 2
  "$tool" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  check "$name: exit status" "$expected" "$status"
  if [ "$expected" -ne 0 ]; then
    check "$name: one line on standard error" 1 "$(wc -l <"$work/err")"
  fi
}

run_count() {  # the number of runs in store $1
  "$tool" runs --db "$1" --json | grep -c '"id"'
}

# A GoogleTest XML result: xml FILE CASE:VERDICT:BOARD...
xml() {
  local file=$1
  shift
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<testsuites tests=\"$#\" name=\"AllTests\"><testsuite name=\"hardware_e2e\">"
    for entry in "$@"; do
      # NAME:VERDICT:BOARD split without a here-string (a temporary file each).
      name=${entry%%:*} board=${entry##*:} verdict=${entry#*:}
      verdict=${verdict%%:*}
      echo "<testcase name=\"$name\" status=\"run\" result=\"completed\" time=\"0.25\" classname=\"hardware_e2e\">"
      echo "<properties><property name=\"host\" value=\"lab-1\"/><property name=\"board\" value=\"$board\"/></properties>"
      [ "$verdict" = failed ] && echo '<failure message="expected 1"><![CDATA[frame.cpp:1 expected 1]]></failure>'
      echo '</testcase>'
    done
    echo '</testsuite></testsuites>'
  } >"$file"
}

# The state letter of process $1 (T when stopped).
process_state() { ps -o stat= -p "$1" 2>/dev/null | cut -c1; }
wait_until_stopped() {
  local pid=$1 tries=0
  while [ "$(process_state "$pid")" != T ]; do
    tries=$((tries + 1))
    [ $tries -gt 600 ] && return 1
    sleep 0.05
  done
}

xml "$work/a.xml" one:passed:0 two:failed:1 three:passed:2
xml "$work/b.xml" one:failed:3 two:passed:1 three:passed:2
xml "$work/big.xml" $(for i in $(seq 1 3000); do echo "case_with_a_rather_long_name_$i:passed:$((i % 8))"; done)

# Recordings that both back ends get, in the same order.
record_history() {  # record_history STORE
  for i in 1 2 3; do
    "$tool" record --db "$1" --commit c1 --label fw=$i "$work/a.xml" >/dev/null || return 1
    "$tool" record --db "$1" --commit c1 --label fw=$i "$work/b.xml" >/dev/null || return 1
  done
  "$tool" record --db "$1" --commit c2 "$work/a.xml" >/dev/null
}

# 8 processes x 50 records at once, each its own files, and each also the
# shared file once: 400 + 1 runs, none doubled.
concurrent_records() {  # concurrent_records STORE
  local store=$1 pids=()
  for p in 1 2 3 4 5 6 7 8; do
    (
      for r in $(seq 1 50); do
        "$tool" record --db "$store" --commit "p$p-r$r" "$work/a.xml" >/dev/null || exit 1
        [ "$r" = 25 ] && { "$tool" record --db "$store" --commit shared "$work/b.xml" >/dev/null || exit 1; }
      done
      exit 0
    ) &
    pids+=($!)
  done
  local failed=0
  for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  check "concurrent records: every process succeeded" 0 "$failed"
  check "concurrent records: 401 runs" 401 "$(run_count "$store")"
  check "concurrent records: no id twice" 401 "$("$tool" runs --db "$store" --json | grep '"id"' | sort -u | wc -l)"
  check "concurrent records: no commit twice" 401 "$("$tool" runs --db "$store" --json | grep '"commit"' | sort -u | wc -l)"
}

# =============================================================================
if [ "$mode" = sqlite ]; then
  db="$work/store.sqlite"
  run_status 0 "record" record --db "$db" --commit c1 "$work/a.xml"
  check "record's line" "recorded run 1: 3 cases, 0 profiles" "$(cat "$work/out")"
  run_status 0 "the same files again" record --db "sqlite:$db" --commit c1 "$work/a.xml"
  check "the same files again: counted once" 1 "$(run_count "$db")"
  grep -q "already recorded as run 1" "$work/out" || check "the same files again: the line says so" yes no

  # Bad inputs: one line each, a status each, nothing written.
  printf 'not xml at all\n' >"$work/junk.txt"
  run_status 4 "not a result" record --db "$db" "$work/junk.txt"
  printf '<?xml version="1.0"?>\n<!DOCTYPE x [<!ENTITY a "aaaa"><!ENTITY b "&a;&a;&a;&a;">]>\n<testsuites>&b;</testsuites>\n' >"$work/bomb.xml"
  run_status 4 "an XML bomb" record --db "$db" "$work/bomb.xml"
  head -c 200 "$work/a.xml" >"$work/truncated.xml"
  run_status 4 "a truncated file" record --db "$db" "$work/truncated.xml"
  printf '<' >"$work/huge.xml"
  truncate -s $((64 * 1024 * 1024 + 1)) "$work/huge.xml"
  run_status 4 "a huge file" record --db "$db" "$work/huge.xml"
  rm -f "$work/huge.xml"
  run_status 4 "a good file with a bad one" record --db "$db" --commit c9 "$work/b.xml" "$work/junk.txt"
  run_status 5 "an unknown scheme" record --db "mysql://h/db" "$work/b.xml"
  check "bad inputs wrote nothing" 1 "$(run_count "$db")"

  # A store of a newer schema.
  cp "$db" "$work/newer.sqlite"
  known=$("$sqlite3" "$work/newer.sqlite" "SELECT MAX(version) FROM kivu_schema")
  "$sqlite3" "$work/newer.sqlite" "INSERT INTO kivu_schema (version) VALUES (99)"
  run_status 8 "a newer schema" record --db "$work/newer.sqlite" --commit c2 "$work/b.xml"
  grep -q "version 99.*version $known)" "$work/err" || check "the newer schema's line names both versions" yes no

  # A --db that is no store file: one line, status 1, nothing made beside it.
  mkfifo "$work/fifo"
  mkdir "$work/folder"
  ln -s loop.b "$work/loop.a" && ln -s loop.a "$work/loop.b"
  "$sqlite3" "$work/other.db" "CREATE TABLE bookmarks (url TEXT)"
  for bad in "$work/fifo" "$work/folder" /dev/null "$work/loop.a" "$work/other.db" "$work/a.xml"; do
    run_status 1 "--db $bad" record --db "$bad" --commit c5 "$work/b.xml"
  done
  check "no journal beside a FIFO" "" "$(ls "$work" | grep -e '^fifo-')"
  check "another program's database left alone" bookmarks "$("$sqlite3" "$work/other.db" .tables)"
  # A link is followed (to a file yet to be made, then to the store), and stays a link.
  ln -s linked.sqlite "$work/link.sqlite"
  run_status 0 "--db a link" record --db "$work/link.sqlite" --commit c6 "$work/b.xml"
  run_status 0 "--db a link, again" record --db "$work/link.sqlite" --commit c7 "$work/b.xml"
  check "a link: the runs are in the file it names" 2 "$(run_count "$work/linked.sqlite")"
  [ -L "$work/link.sqlite" ] || check "the link stays a link" yes no
  run_status 8 "a newer schema, read" runs --db "$work/newer.sqlite"

  # A read-only store (as nobody when root, for whom permissions do not hold).
  mkdir "$work/ro" && cp "$db" "$work/ro/store.sqlite" && chmod 444 "$work/ro/store.sqlite" && chmod 777 "$work/ro"
  chmod 755 "$tool" 2>/dev/null
  if [ "$(id -u)" -eq 0 ]; then as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --); else as_user=(); fi
  "${as_user[@]}" "$tool" record --db "$work/ro/store.sqlite" --commit c3 "$work/b.xml" >"$work/out" 2>"$work/err"
  check "a read-only store: exit status" 6 $?
  check "a read-only store: nothing written" 1 "$(run_count "$work/ro/store.sqlite")"

  # A full disk: a store on a 1 MiB tmpfs in a mount namespace of its own.
  if unshare -m true 2>/dev/null; then
    mkdir "$work/small"
    xml "$work/bigger.xml" $(for i in $(seq 1 15000); do echo "case_with_a_rather_long_name_$i:passed:$((i % 8))"; done)
    unshare -m sh -c "mount -t tmpfs -o size=1m none '$work/small' && '$tool' record --db '$work/small/s.sqlite' --commit c1 '$work/a.xml' >/dev/null && '$tool' record --db '$work/small/s.sqlite' --commit c2 '$work/bigger.xml' 2>'$work/err'; echo \$? >'$work/status'; '$tool' runs --db '$work/small/s.sqlite' --json | grep -c '\"id\"' >'$work/count'"
    check "a full disk: exit status" 7 "$(cat "$work/status")"
    check "a full disk: the run before stays, nothing half-written" 1 "$(cat "$work/count")"
  else
    echo "skipped the full-disk case: no mount namespace here (unshare -m)"
  fi

  # kill -9 during a record: stopped after its rows are written, before the
  # commit, then killed; the run is absent afterwards, and the store whole.
  KIVU_RESULTS_STOP_BEFORE_COMMIT=1 "$tool" record --db "$db" --commit killed "$work/big.xml" >/dev/null 2>&1 &
  pid=$!
  if wait_until_stopped $pid; then
    kill -9 $pid
    wait $pid 2>/dev/null
    check "kill -9 during a record: no partial run" 1 "$(run_count "$db")"
    check "kill -9: no case of it" "" "$("$sqlite3" "$db" "SELECT 1 FROM case_results WHERE commit_id = 'killed' LIMIT 1")"
    check "kill -9: integrity" ok "$("$sqlite3" "$db" "PRAGMA integrity_check")"
  else
    check "the record stopped before its commit" T "$(process_state $pid)"
  fi

  # Two records of the same files at once: the second waits for the first's
  # commit, then finds its content there.
  KIVU_RESULTS_STOP_BEFORE_COMMIT=1 "$tool" record --db "$db" --commit twice "$work/b.xml" >"$work/first" 2>&1 &
  first=$!
  wait_until_stopped $first
  "$tool" record --db "$db" --commit twice "$work/b.xml" >"$work/second" 2>&1 &
  second=$!
  kill -CONT $first
  wait $first; check "same files at once: first" 0 $?
  wait $second; check "same files at once: second" 0 $?
  check "same files at once: one run" 2 "$(run_count "$db")"
  check "same files at once: one says it was recorded already" 1 "$(cat "$work/first" "$work/second" | grep -c 'already recorded')"

  concurrent_records "$work/concurrent.sqlite"
fi

# =============================================================================
if [ "$mode" = postgres ]; then
  pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  if [ -z "$pgbin" ] || [ ! -x "$pgbin/initdb" ] || [ ! -x "$pgbin/pg_ctl" ]; then
    echo "SKIPPED: the PostgreSQL server's programs are missing (scripts/install-deps.sh postgres installs them)"
    exit 77
  fi
  if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$work"
    as_pg=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  else
    as_pg=()
  fi
  data="$work/data"
  stop_server() { "${as_pg[@]}" "$pgbin/pg_ctl" -D "$data" -m immediate -w -t 30 stop >/dev/null 2>&1; }
  start_server() {
    "${as_pg[@]}" "$pgbin/pg_ctl" -D "$data" -l "$work/server.log" -w -t 60 \
      -o "-c listen_addresses='' -c unix_socket_directories='$work' -c fsync=off -c max_connections=40" start >/dev/null
  }
  trap 'stop_server; cleanup_work' EXIT
  trap 'exit 1' INT TERM HUP
  # The watchdog: this script killed with SIGKILL runs no trap.
  setsid bash -c "while kill -0 $$ 2>/dev/null; do sleep 1; done; ${as_pg[*]} '$pgbin/pg_ctl' -D '$data' -m immediate stop >/dev/null 2>&1; rm -rf '$work'" </dev/null >/dev/null 2>&1 &
  if ! "${as_pg[@]}" "$pgbin/initdb" -D "$data" -U kivu -A trust --locale=C -E UTF8 >"$work/initdb.log" 2>&1; then
    echo "SKIPPED: initdb failed here: $(tail -1 "$work/initdb.log")"
    exit 77
  fi
  if ! start_server; then
    echo "FAILED: the server did not start:"; cat "$work/server.log"; exit 1
  fi
  psql() { "$pgbin/psql" -h "$work" -U kivu -X -q -t -A "$@"; }
  psql -d postgres -c "CREATE DATABASE same" -c "CREATE DATABASE concurrent" -c "CREATE DATABASE gone"
  url() { echo "postgresql://kivu@/$1?host=$work"; }

  # The same questions over SQLite and PostgreSQL holding the same recordings.
  record_history "$work/same.sqlite"
  record_history "$(url same)"
  for question in "runs --json" "runs --last 3 --json" "flaky --json" "flaky --last 4 --json" "runs" "flaky"; do
    # shellcheck disable=SC2086
    a=$("$tool" $question --db "$work/same.sqlite" | grep -v -e recorded_at -e '^ *[0-9].*Z ')
    # shellcheck disable=SC2086
    b=$("$tool" $question --db "$(url same)" | grep -v -e recorded_at -e '^ *[0-9].*Z ')
    check "same answer: $question" "$a" "$b"
  done
  check "flaky over PostgreSQL finds the flips" 2 "$("$tool" flaky --db "$(url same)" --json | grep -c '"case"')"
  run_status 0 "PostgreSQL: the same files again" record --db "$(url same)" --commit c2 "$work/a.xml"
  grep -q "already recorded" "$work/out" || check "PostgreSQL: the same files counted once" yes no

  concurrent_records "$(url concurrent)"

  # A server that is not there.
  run_status 9 "PostgreSQL down" record --db "postgresql://kivu@/x?host=$work/nowhere" "$work/a.xml"

  # A server that goes away in the middle of a record.
  "$tool" record --db "$(url gone)" --commit before "$work/a.xml" >/dev/null
  KIVU_RESULTS_STOP_BEFORE_COMMIT=1 "$tool" record --db "$(url gone)" --commit during "$work/big.xml" >"$work/out" 2>"$work/err" &
  pid=$!
  if wait_until_stopped $pid; then
    stop_server
    kill -CONT $pid
    wait $pid
    check "PostgreSQL gone mid-record: exit status" 9 $?
    check "PostgreSQL gone mid-record: one line" 1 "$(wc -l <"$work/err")"
    start_server
    check "PostgreSQL gone mid-record: no partial run" 1 "$(run_count "$(url gone)")"
  else
    check "the record stopped before its commit" T "$(process_state $pid)"
  fi

  # A store of a newer schema.
  psql -d gone -c "INSERT INTO kivu_schema (version) VALUES (99)"
  run_status 8 "PostgreSQL: a newer schema" runs --db "$(url gone)"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
