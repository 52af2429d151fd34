#!/usr/bin/env bash
# The fleet soak: the suite run over and over on 4 simulated boards, every
# run recorded, `kivu-results health` read after each.
#
# One suite run is 4 shards of hardware_e2e at once (GTEST_TOTAL_SHARDS=4,
# KIVU_TEST_BOARD=any, so each case takes the first free board), each shard
# with its own KIVU_SIM_FAULT_SEED (derived from the seed and the run, so a
# soak replays), their 4 XML results recorded as one run with a fixed commit.
#
#   bench/fleet_soak.sh detect     BUILD_DIR SEEDS MAX_RUNS   board 2's tile 714 bad at 0.1 (FAULT to change):
#                                                             the run at which health first flags board 2, per seed
#   bench/fleet_soak.sh healthy    BUILD_DIR SEEDS RUNS       no fault: suspects after RUNS runs, per seed
#   bench/fleet_soak.sh software   BUILD_DIR SEED RUNS        tile 714 bad on all four boards: no suspect, tile 714
#                                                             pointing at the software
#   bench/fleet_soak.sh quarantine BUILD_DIR SEED             detect, quarantine --apply, then 3 suites with
#                                                             KIVU_TEST_BOARD=any: boards used (never 2)
#   bench/fleet_soak.sh speed      BUILD_DIR                  health over 1,000,000 case results against the
#                                                             sqlite3 shell's GROUP BY (median of three, CPU)
#
# FIRST_SEED (default 1) numbers the first of SEEDS seeds, so that a soak can
# go on where an earlier one stopped. Prints one line per seed and a summary;
# the load average at start and end.
# Exit 0 when the figures are what they should be, 1 when not, 2 usage.
set -euo pipefail
. "$(dirname "$0")/lib/store_figures.sh"

usage() { echo "usage: bench/fleet_soak.sh detect|healthy|software|quarantine|speed BUILD_DIR [SEEDS|SEED] [RUNS]" >&2; exit 2; }
(( $# >= 2 )) || usage
mode=$1
dir=$2
tool=$dir/kivu-results
suite=$dir/hardware_e2e
for program in "$tool" "$suite" "$dir/kivu-boards"; do
  [[ -x $program ]] || { echo "fleet_soak.sh: $program is not built" >&2; exit 2; }
done
fault=${FAULT:-2:714:0.1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KIVU_SIM_BOARDS=4 KIVU_QUARANTINE_FILE=$work/quarantine.json
unset KIVU_SIM_FAULT KIVU_SIM_FAULT_BOARD KIVU_SIM_FAULT_TILE KIVU_TEST_BOARD CTEST_RESOURCE_GROUP_COUNT
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"

# suite_run DB SEED RUN FAULT: one suite run over the 4 boards, recorded.
suite_run() {
  local db=$1 seed=$2 run=$3 tiles=$4 out=$work/run-$2-$3 shard pids=()
  mkdir -p "$out"
  for shard in 0 1 2 3; do
    KIVU_TEST_BOARD=any KIVU_SIM_FAULT_TILE=$tiles KIVU_SIM_FAULT_SEED=$(( seed * 100000 + run * 4 + shard )) \
      GTEST_TOTAL_SHARDS=4 GTEST_SHARD_INDEX=$shard \
      "$suite" --gtest_output="xml:$out/shard-$shard.xml" >"$out/shard-$shard.log" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || true; done
  "$tool" record --db "$db" --commit soak --label "soak=$seed-$run" "$out"/shard-*.xml >/dev/null
  rm -rf "$out"
}

# health_of DB: "SUSPECTS FIRST_TILE_OF_BOARD_2 SOFTWARE_TILES" from health --json
health_of() {
  "$tool" health --db "$1" --json 2>/dev/null | python3 -c '
import json, sys
boards = json.load(sys.stdin)
suspects = ",".join(str(b["board"]) for b in boards if b["suspect"]) or "-"
two = [b for b in boards if b["board"] == 2]
first = str(two[0]["tiles"][0]["tile"]) if two and two[0]["tiles"] else "-"
software = ",".join(sorted({str(t["tile"]) for b in boards for t in b["tiles"] if t["points_at"] == "software"})) or "-"
print(suspects, first, software)'
}

status=0
case $mode in
  detect)
    (( $# == 4 )) || usage
    runs_to=()
    for (( seed = ${FIRST_SEED:-1}; seed < ${FIRST_SEED:-1} + $3; ++seed )); do
      db=$work/detect-$seed.sqlite
      found=-
      for (( run = 1; run <= $4; ++run )); do
        suite_run "$db" "$seed" "$run" "$fault"
        read -r suspects first _ < <(health_of "$db")
        if [[ $suspects != - ]]; then
          found=$run
          [[ $suspects == 2 && $first == 714 ]] || { echo "seed $seed: run $run flags $suspects, board 2's first tile $first" >&2; status=1; }
          break
        fi
      done
      echo "seed $seed: board 2 first flagged after run $found (suspects $suspects, first tile $first)"
      [[ $found == - ]] && status=1 || runs_to+=("$found")
    done
    sorted=($(printf '%s\n' "${runs_to[@]}" | sort -n))
    (( ${#sorted[@]} )) && echo "runs to detection over ${#sorted[@]} seeds: min ${sorted[0]}, median ${sorted[$(( ${#sorted[@]} / 2 ))]}, max ${sorted[-1]}"
    ;;
  healthy)
    (( $# == 4 )) || usage
    alarms=0
    early=0
    for (( seed = ${FIRST_SEED:-1}; seed < ${FIRST_SEED:-1} + $3; ++seed )); do
      db=$work/healthy-$seed.sqlite
      flagged_on=-
      for (( run = 1; run <= $4; ++run )); do
        suite_run "$db" "$(( 1000 + seed ))" "$run" ""
        read -r suspects _ _ < <(health_of "$db")
        [[ $suspects != - && $flagged_on == - ]] && flagged_on=$run
      done
      [[ $suspects != - ]] && alarms=$(( alarms + 1 ))
      [[ $flagged_on != - ]] && early=$(( early + 1 ))
      echo "seed $seed: after $4 runs suspects $suspects; first flagged at run $flagged_on"
    done
    echo "false alarms after $4 runs: $alarms of $3 seeds; seeds flagged at any of the $4 looks: $early"
    (( alarms == 0 )) || status=1
    ;;
  software)
    (( $# == 4 )) || usage
    db=$work/software.sqlite
    for (( run = 1; run <= $4; ++run )); do suite_run "$db" "$(( 2000 + $3 ))" "$run" 0:714:0.1,1:714:0.1,2:714:0.1,3:714:0.1; done
    read -r suspects _ software < <(health_of "$db")
    "$tool" health --db "$db" || true
    echo "tile 714 bad on every board, $4 runs: suspects $suspects, software tiles $software"
    [[ $suspects == - && $software == 714 ]] || status=1
    ;;
  quarantine)
    (( $# == 3 )) || usage
    db=$work/quarantine.sqlite
    run=0
    until [[ $(health_of "$db" 2>/dev/null | cut -d' ' -f1) == 2 ]]; do
      run=$(( run + 1 ))
      (( run <= 60 )) || { echo "board 2 not flagged in 60 runs" >&2; exit 1; }
      suite_run "$db" "$(( 3000 + $3 ))" "$run" "$fault"
    done
    "$tool" quarantine --db "$db" --apply
    "$dir/kivu-boards"
    for suite_number in 1 2 3; do
      out=$work/after-$suite_number
      mkdir -p "$out"
      for shard in 0 1 2 3; do
        KIVU_TEST_BOARD=any GTEST_TOTAL_SHARDS=4 GTEST_SHARD_INDEX=$shard \
          "$suite" --gtest_output="xml:$out/shard-$shard.xml" >"$out/shard-$shard.log" 2>&1 &
      done
      wait
      used=$(cat "$out"/shard-*.xml | grep -o 'name="board" value="[0-9]*"' | grep -o '[0-9]*' | sort | uniq -c | tr -s ' \n' ' ')
      cases=$(cat "$out"/shard-*.xml | grep -c '<testcase' || true)
      echo "suite $suite_number after quarantine: $cases cases; cases per board: $used"
      if grep -q 'name="board" value="2"' "$out"/shard-*.xml; then status=1; fi
    done
    ;;
  speed)
    command -v sqlite3 >/dev/null || { echo "fleet_soak.sh: sqlite3 is missing (scripts/install-deps.sh)" >&2; exit 2; }
    db=$work/speed.sqlite
    # 50,000 runs x 20 cases over 4 boards of one host; one case in 97 failed,
    # each failure with its failed_tile.
    fill_million_results "$tool" "$db" failed_tiles
    shell_health() {
      sqlite3 "$db" "SELECT board, COUNT(DISTINCT run_id), COUNT(*), SUM(CASE WHEN verdict = 1 THEN 1 ELSE 0 END) FROM case_results WHERE board <> '' AND verdict IN (0, 1) GROUP BY board" \
        "SELECT r.board, p.value, COUNT(*) FROM case_properties p JOIN case_results r ON r.run_id = p.run_id AND r.case_name = p.case_name WHERE p.name = 'failed_tile' AND r.verdict = 1 AND r.board <> '' GROUP BY r.board, p.value"
    }
    echo "store: $(sqlite3 "$db" 'SELECT COUNT(*) FROM case_results') case results, $(sqlite3 "$db" "SELECT COUNT(*) FROM case_properties WHERE name = 'failed_tile'") failed tiles"
    health=$(median3 "$tool" health --db "$db" --json)
    shell=$(median3 shell_health)
    echo "health --json: wall $(wall "$health")s CPU $(cpu "$health")s; sqlite3 GROUP BY: wall $(wall "$shell")s CPU $(cpu "$shell")s; ratio wall $(ratio "$(wall "$health")" "$(wall "$shell")") x, CPU $(ratio "$(cpu "$health")" "$(cpu "$shell")") x"
    ;;
  *) usage ;;
esac
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
