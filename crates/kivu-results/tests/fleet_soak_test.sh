#!/bin/bash
# A short soak on 4 simulated boards, replayed the same way every time, from
# the suite to the quarantine:
#   - board 2's tile 714 bad at probability 0.8: after 8 recorded runs
#     `kivu-results health` names board 2 as the only suspect, tile 714
#     first among its tiles, and exits 3;
#   - the same runs on healthy boards: no suspect, exit 0;
#   - `quarantine --apply` then keeps board 2 away from KIVU_TEST_BOARD=any:
#     3 suites of 4 shards at once pass without a case on board 2, and
#     kivu-boards lists it as quarantined.
# A run is the suite's 20 cases in 4 shards at once, shard S of run R on
# board (S + R) mod 4, so every case meets every board; each shard's draw of
# the bad tile has a fixed seed, so the outcome is the same on every machine.
#
#   fleet_soak_test.sh KIVU_RESULTS HARDWARE_E2E KIVU_BOARDS
set -u
tool=$1
suite=$2
boards_tool=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kivu-fleet-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT
export KIVU_SIM_BOARDS=4 KIVU_QUARANTINE_FILE=$work/quarantine.json
unset KIVU_SIM_FAULT KIVU_SIM_FAULT_BOARD KIVU_SIM_FAULT_TILE KIVU_SIM_FAULT_SEED KIVU_TEST_BOARD KIVU_RESULTS_DB \
  CTEST_RESOURCE_GROUP_COUNT CTEST_RESOURCE_GROUP_0 CTEST_RESOURCE_GROUP_0_BOARDS
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# shards OUT BOARD_OF_SHARD... : the suite in 4 shards at once, shard S on
# the board given for it ("any" or a number), each with a seed of its own
# (SEED_BASE + S) and the faults of FAULT.
shards() {
  local out=$1 shard pids=()
  shift
  mkdir -p "$out"
  for shard in 0 1 2 3; do
    KIVU_TEST_BOARD=$1 KIVU_SIM_FAULT_TILE=${FAULT:-} KIVU_SIM_FAULT_SEED=$((SEED_BASE + shard)) \
      GTEST_TOTAL_SHARDS=4 GTEST_SHARD_INDEX=$shard \
      "$suite" --gtest_output="xml:$out/shard-$shard.xml" >"$out/shard-$shard.log" 2>&1 &
    pids+=($!)
    shift
  done
  local status=0
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  return $status
}

# soak DB RUNS: RUNS suite runs, each recorded.
soak() {
  local db=$1 runs=$2 run
  for ((run = 0; run < runs; ++run)); do
    SEED_BASE=$((run * 4 + 7000)) shards "$work/run-$run" $((run % 4)) $(((run + 1) % 4)) $(((run + 2) % 4)) \
      $(((run + 3) % 4))
    "$tool" record --db "$db" --commit soak --label "run=$run" "$work/run-$run"/shard-*.xml >/dev/null ||
      fail "record of run $run"
    rm -rf "$work/run-$run"
  done
}

# field JSON EXPRESSION: a value of a JSON array (boards), in python3.
field() { python3 -c "import json, sys; boards = json.load(open(sys.argv[1])); print($2)" "$1"; }

# --- a bad tile on board 2 ---------------------------------------------------
FAULT=2:714:0.8 soak "$work/bad.sqlite" 8
"$tool" health --db "$work/bad.sqlite" --json >"$work/bad.json"
status=$?
[ $status -eq 3 ] || fail "health with board 2's bad tile exits $status, not 3"
suspects=$(field "$work/bad.json" '",".join(str(b["board"]) for b in boards if b["suspect"])')
[ "$suspects" = 2 ] || fail "suspects with board 2's bad tile: '$suspects', not 2"
first=$(field "$work/bad.json" '[b["tiles"][0]["tile"] for b in boards if b["board"] == 2 and b["tiles"]]')
[ "$first" = "[714]" ] || fail "board 2's first tile: $first, not 714"
"$tool" health --db "$work/bad.sqlite"

# --- healthy boards ----------------------------------------------------------
soak "$work/healthy.sqlite" 4
"$tool" health --db "$work/healthy.sqlite" --json >"$work/healthy.json"
status=$?
[ $status -eq 0 ] || fail "health on healthy boards exits $status, not 0"
[ "$(field "$work/healthy.json" 'sum(b["suspect"] for b in boards)')" = 0 ] || fail "a healthy board is suspect"
[ "$(field "$work/healthy.json" 'sum(b["failed"] for b in boards)')" = 0 ] || fail "a case failed on healthy boards"

# --- quarantine --------------------------------------------------------------
"$tool" quarantine --db "$work/bad.sqlite" --apply || fail "quarantine --apply exits $?"
"$boards_tool" --json >"$work/boards.json" || fail "kivu-boards --json exits $?"
# Its state is "held" while another process holds its lock; the quarantine
# shows either way.
quarantined=$(field "$work/boards.json" '[b["id"] for b in boards if b["quarantine"]]')
[ "$quarantined" = "[2]" ] || fail "kivu-boards shows $quarantined quarantined, not board 2"
for suite_run in 1 2 3; do
  SEED_BASE=9000 shards "$work/after-$suite_run" any any any any || fail "suite $suite_run after quarantine failed"
  used=$(cat "$work/after-$suite_run"/shard-*.xml | grep -o 'name="board" value="[0-9]*"' | grep -o '[0-9][0-9]*' |
    sort -u | tr '\n' ' ' || true)
  cases=$(cat "$work/after-$suite_run"/shard-*.xml | grep -c '<testcase' || true)
  echo "suite $suite_run after quarantine: $cases cases on boards $used"
  [ "$cases" -eq 20 ] || fail "suite $suite_run after quarantine ran $cases cases, not 20"
  case " $used" in *" 2 "*) fail "suite $suite_run after quarantine ran a case on board 2" ;; esac
done

if [ $failures -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "fleet soak: board 2 found and quarantined, healthy boards left alone"
