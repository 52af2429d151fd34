#!/usr/bin/env bash
# The suite under a real Slurm: a single-node Slurm of its own on this host
# (scripts/slurm-local.sh: munge, slurmctld and slurmd in a temporary folder,
# on loopback, with 4 simulated boards as the generic resource kivu:4), and
# the suite's cases as array jobs of scripts/slurm-suite.sh. Checks:
#   1. an array of the 20 real cases passes 20/20, on the host's boards;
#      given a store, the merged report and a GEMM profile are recorded;
#   2. two arrays at once on stand-in runners that hold their board for a
#      moment: never two runners on one board, never more than 4 at once;
#   3. with KIVU_SIM_FAULT_BOARD=2, exactly the cases that ran on board 2
#      fail, and the merged report says so;
#   4. a job cancelled while its runner runs leaves no runner and no board
#      taken;
#   5. slurm-suite.sh with a results folder and a suite whose paths hold a
#      space and a non-ASCII letter; results of another array never count
#      (an earlier array still running is refused, a task's exit code counts
#      beside its result file).
# Slurm is stopped on every path: on exit and on signals by the trap, and,
# should this script be killed outright (a ctest timeout), by the watcher
# that slurm-local.sh starts for it. Every task has a 5-minute limit, so a
# stuck case ends as a failure rather than at the test's timeout.
#
# Usage: slurm_test.sh SOURCE_DIR BUILD_DIR STAND_IN_SUITE
# Exit status: 0 passed, 1 failed, 77 skipped (the reason on a "SKIP:" line):
# not root, or the packages missing (scripts/install-deps.sh slurm installs
# them; a test never does).
set -uo pipefail

source_dir=$1
build=$2
stand_in_suite=$3

. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

need_slurm scontrol perl

work=$(mktemp -d /tmp/kivu-slurm-test.XXXXXX)
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  "$source_dir/scripts/slurm-local.sh" stop "$work/slurm"
  if (( status != 0 && status != 77 )); then
    echo "--- Slurm's logs ($work/slurm/log, kept) ---"
    tail -n 15 "$work"/slurm/log/*.log 2>/dev/null
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

setup=$(KIVU_SLURM_OWNER=$$ KIVU_BOARDS_TOOL=$build/kivu-boards "$source_dir/scripts/slurm-local.sh" start \
  "$work/slurm" 4) || { echo "FAILED: the single-node Slurm did not start"; exit 1; }
eval "$setup"
export KIVU_SIM_BOARDS=4
export KIVU_SLURM_POLL=0.25
unset KIVU_SIM_FAULT_BOARD KIVU_TEST_BOARD KIVU_BOARD CTEST_RESOURCE_GROUP_COUNT
echo "Slurm up: $(sinfo --noheader -o '%n %G %T')"

# The <testcase>s of a merged report as "name board failed|passed" lines.
report_lines() {
  awk '
    /<testcase / { match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7); board = "-"; state = "passed" }
    /<property name="board"/ { match($0, /value="[^"]*"/); board = substr($0, RSTART + 7, RLENGTH - 8) }
    /<failure/ { state = "failed" }
    /<\/testcase>|<testcase [^>]*\/>/ { if (name != "") print name, board, state; name = "" }' "$1"
}

# =============================================================================
# 1. The 20 real cases

out=$work/real
if "$source_dir/scripts/slurm-suite.sh" -b "$build" -o "$out" -- --time=5 >"$work/real.txt" 2>&1 &&
  grep -q "20 cases, 20 passed, 0 failed" "$work/real.txt" && [[ $(report_lines "$out/report.xml" | grep -c ' passed$') == 20 ]]; then
  pass "20 real cases under Slurm: 20 passed, on boards $(report_lines "$out/report.xml" | cut -d' ' -f2 | sort -u | tr '\n' ' ')"
else
  fail "20 real cases under Slurm:"; cat "$work/real.txt"; report_lines "$out/report.xml"
fi
# Without a store nothing was recorded, and no profile job ran.
[[ ! -e $out/$(<"$out/job")/gemm-profile.capnp ]] || fail "a profile was made without a store"

# 1b. With a store (KIVU_RESULTS_DB): the merged report and one GEMM profile,
#     made by a job of its own, are recorded.
store=$work/results.sqlite
if KIVU_RESULTS_DB=$store "$source_dir/scripts/slurm-suite.sh" -b "$build" -o "$work/recorded" -- --time=5 \
  >"$work/recorded.txt" 2>&1 &&
  runs=$("$build/kivu-results" runs --db "$store" --json) &&
  [[ $(tr -d ' \n' <<<"$runs") == *'"passed":20,"failed":0,"missing":0,"profiles":0'* ]] &&
  [[ $(tr -d ' \n' <<<"$runs") == *'"passed":0,"failed":0,"missing":0,"profiles":1'* ]] &&
  "$build/kivu-results" trend --db "$store" --metric total_cycles \
    --case hardware_e2e.blocked_gemm_with_cycle_profile_works --json | grep -q '"value"'; then
  pass "slurm-suite.sh with a store records its merged report (20 passed) and the GEMM profile"
else
  fail "slurm-suite.sh with a store:"; cat "$work/recorded.txt"; echo "${runs:-}"
fi

# =============================================================================
# 2. Two arrays at once on stand-ins that hold their board

sandbox=$work/stand-in
mkdir -p "$sandbox/logs" "$sandbox/tmp"
# A profile that the GEMM case accepts, from the real GEMM runner.
KIVU_GEMM_DIMENSION=128 KIVU_GEMM_SRAM_CHECK_BLOCK=1,1 KIVU_PROFILE_OUTPUT=$sandbox/gemm.profile \
  "$build/kivu-gemm-e2e" >/dev/null 2>&1 || fail "the GEMM runner wrote no profile"
printf '%s\n' "kivu-gemm-e2e * copy $sandbox/gemm.profile sleep 300" "* * sleep 300" >"$sandbox/control"
stand_in_env=(KIVU_SELFTEST_DEVICE_LOCK="$sandbox/lock" KIVU_STANDIN_LOG="$sandbox/logs"
  KIVU_STANDIN_CONTROL="$sandbox/control" TMPDIR="$sandbox/tmp")
for array in a b; do
  env "${stand_in_env[@]}" "$source_dir/scripts/slurm-suite.sh" -b "$build" -s "$stand_in_suite" \
    -o "$work/array-$array" -- --time=5 >"$work/array-$array.txt" 2>&1 &
done
wait
# From the stand-ins' logs: per board, no runner starting before the last
# one ended; across boards, at most 4 running at once.
read -r runners overlaps most <<<"$(
  for log in "$sandbox"/logs/*.log; do
    awk '$1 == "start" { s = $2 } $1 == "end" { e = $2 } $1 == "env" && $2 ~ /^KIVU_BOARD=/ { b = substr($2, 12) }
      END { print s, e, (b == "" ? 0 : b) }' "$log"
  done | sort -n | awk '
    { n++; start[n] = $1; end_[n] = $2; board[n] = $3
      if ($2 == "") missing++
      if (($3 in last) && last[$3] > $1) overlaps++
      if (!($3 in last) || $2 > last[$3]) last[$3] = $2 }
    END {
      for (i = 1; i <= n; i++) { alive = 0; for (j = 1; j <= n; j++) if (start[j] <= start[i] && end_[j] > start[i]) alive++; if (alive > most) most = alive }
      print n, overlaps + missing, most }')"
for array in a b; do
  grep -q "20 cases, 20 passed, 0 failed" "$work/array-$array.txt" ||
    { fail "stand-in array $array:"; cat "$work/array-$array.txt"; }
done
# 24 runner starts per run of the 20 cases (some cases start several).
if [[ $runners == 48 && $overlaps == 0 && $most -le 4 ]]; then
  pass "two arrays at once: $runners runners, none sharing a board, at most $most at once"
else
  fail "two arrays at once: $runners runners (48 expected), $overlaps on a busy board or unfinished, at most $most at once (4 at most expected)"
fi

# Slurm runs as many tasks at once as there are boards: four tasks that each
# wait until all four have started end only when they run side by side.
gate=$work/side-by-side
mkdir "$gate"
if sbatch --wait --array=0-3 --gres=kivu:1 --time=5 --output=/dev/null --wrap="touch '$gate/'\$SLURM_ARRAY_TASK_ID
    exec timeout 240 sh -c 'until [ \$(ls \"\$0\" | wc -l) -ge 4 ]; do sleep 0.1; done' '$gate'" >/dev/null 2>&1; then
  pass "four tasks with kivu:1 run side by side on the four boards"
else
  fail "four tasks with kivu:1 did not all run at once: $(ls "$gate" | wc -l) started"
fi

# =============================================================================
# 3. A fault on board 2

# Boards 0 and 1 are held outside Slurm for the run, so that cases must take
# boards 2 and 3: some case lands on board 2 whatever the timing. Each is
# held as a case holds it: a stand-in suite whose runner sleeps, on the
# host's real board locks (the prefix of their names, kivu-board).
holder=$work/holder
mkdir -p "$holder/logs"
echo "* * sleep 600000" >"$holder/control"
holders=()
for board in 0 1; do
  env KIVU_SELFTEST_DEVICE_LOCK=kivu-board KIVU_STANDIN_LOG="$holder/logs" KIVU_STANDIN_CONTROL="$holder/control" \
    TMPDIR="$holder" KIVU_TEST_BOARD=$board \
    "$stand_in_suite" --gtest_filter=hardware_e2e.direct_multicast_works >"$holder/$board.txt" 2>&1 &
  holders+=($!)
done
for (( i = 0; i < 200; ++i )); do
  [[ $(find "$holder/logs" -name '*.log' | wc -l) == 2 ]] && break
  sleep 0.1
done
out=$work/fault
KIVU_SIM_FAULT_BOARD=2 "$source_dir/scripts/slurm-suite.sh" -b "$build" -o "$out" -- --time=5 >"$work/fault.txt" 2>&1
status=$?
# The holders' runners die with their suites.
kill "${holders[@]}" 2>/dev/null
wait "${holders[@]}" 2>/dev/null
report_lines "$out/report.xml" >"$work/fault-cases.txt"
on_two=$(awk '$2 == 2' "$work/fault-cases.txt" | wc -l)
wrong=$(awk '($2 == 2) != ($3 == "failed")' "$work/fault-cases.txt")
if (( status == 1 )) && [[ $(wc -l <"$work/fault-cases.txt") == 20 && $on_two -ge 1 && -z $wrong ]] &&
  grep -q "20 cases, $(( 20 - on_two )) passed, $on_two failed" "$work/fault.txt"; then
  pass "KIVU_SIM_FAULT_BOARD=2: the $on_two cases on board 2 failed, the rest passed, exit 1"
else
  fail "KIVU_SIM_FAULT_BOARD=2 (exit $status):"; cat "$work/fault.txt" "$work/fault-cases.txt"
fi

# One word for /bin/sh, whatever the text holds: 'TEXT' with each ' as '\''.
sh_quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

# =============================================================================
# 4. scancel while a runner runs

rm -f "$sandbox"/logs/*.log
echo "* * sleep 600000" >"$sandbox/control"
job=$(env "${stand_in_env[@]}" KIVU_TEST_BOARD=any sbatch --parsable --gres=kivu:1 --output="$work/cancel.out" \
  --wrap="exec $(sh_quote "$stand_in_suite") --gtest_filter=hardware_e2e.direct_multicast_works")
for (( i = 0; i < 200; ++i )); do
  compgen -G "$sandbox/logs/*.log" >/dev/null && break
  sleep 0.1
done
runner=$(awk '$1 == "pid" { print $2 }' "$sandbox"/logs/*.log 2>/dev/null)
if [[ -z $runner ]]; then
  fail "scancel: the runner never started"; cat "$work/cancel.out"
else
  scancel "$job"
  # The job leaves the queue and its runner dies (within 10 s).
  for (( i = 0; i < 100; ++i )); do
    [[ -z $(squeue --noheader --jobs="$job" 2>/dev/null) ]] && ! alive "$runner" && break
    sleep 0.1
  done
  left=
  alive "$runner" && left="runner $runner"
  [[ -n $(squeue --noheader --jobs="$job" 2>/dev/null) ]] && left+=" job $job"
  # Every board takes a case at once: none is still locked.
  echo "* * exit 0" >"$sandbox/control"
  taken=
  for board in 0 1 2 3; do
    if ! env "${stand_in_env[@]}" KIVU_TEST_BOARD=$board timeout 20 "$stand_in_suite" \
        --gtest_filter=hardware_e2e.direct_multicast_works >"$work/after-$board.txt" 2>&1 ||
      grep -q "waiting for the device lock" "$work/after-$board.txt"; then
      taken+=" $board"
    fi
  done
  if [[ -z $left && -z $taken ]]; then
    pass "scancel mid-case: the runner is gone and every board is free"
  else
    fail "scancel mid-case: still running: ${left:-nothing}; boards not free:${taken:- none}"
    cat "$work"/after-*.txt
  fi
fi

# =============================================================================
# 5. The results folder and its arrays

# A suite of two stand-in cases at a path with a space and a non-ASCII
# letter. In the task, FAKE_GATE makes it wait for that file first, and
# FAKE_EXIT makes it end with that code whatever the cases gave.
odd="$work/sp ace/ü"
mkdir -p "$odd"
{
  echo '#!/bin/bash'
  echo 'if [[ -n ${FAKE_GATE:-} && $* != *--gtest_list_tests* ]]; then'
  echo '  until [[ -e $FAKE_GATE ]]; do sleep 0.1; done'
  echo 'fi'
  printf '%q --gtest_filter=%s "$@"\n' "$stand_in_suite" \
    hardware_e2e.direct_multicast_works:hardware_e2e.local_h2d_and_d2h_round_trip_works
  echo 'status=$?'
  echo '[[ $* == *--gtest_list_tests* ]] || status=${FAKE_EXIT:-$status}'
  echo 'exit "$status"'
} >"$odd/two cases"
chmod +x "$odd/two cases"
echo "* * exit 0" >"$sandbox/pass"
echo "* * exit 1" >"$sandbox/fail"
two() {
  local results=$1
  shift
  env "${stand_in_env[@]}" "$@" "$source_dir/scripts/slurm-suite.sh" -b "$build" -s "$odd/two cases" -o "$results" \
    -- --time=5
}

results="$odd/res B"
two "$results" KIVU_STANDIN_CONTROL="$sandbox/pass" >"$work/odd.txt" 2>&1
status=$?
job=$(cat "$results/job" 2>/dev/null)
if (( status == 0 )) && grep -q "2 cases, 2 passed" "$work/odd.txt" && [[ $(ls "$results/$job/xml" | wc -l) == 2 ]]; then
  pass "a suite and a results folder with a space and 'ü' in their paths: 2 of 2 passed"
else
  fail "paths with a space and 'ü' (exit $status):"; cat "$work/odd.txt"
fi

# A case whose result says passed but whose task ended with exit code 3.
two "$results" KIVU_STANDIN_CONTROL="$sandbox/pass" FAKE_EXIT=3 >"$work/exit.txt" 2>&1
status=$?
if (( status == 1 )) && grep -q "2 passed" "$work/exit.txt" && grep -q "2 of 2 tasks did not end with exit code 0" "$work/exit.txt"; then
  pass "results that say passed from tasks that ended with exit code 3: exit 1"
else
  fail "tasks with exit code 3 (exit $status):"; cat "$work/exit.txt"
fi

# A run killed right after it submitted: its array goes on (held at a gate).
# A second run on the same folder is refused while that array runs; once it
# has ended with passes, a run of failing cases reports them failed.
gate=$work/gate
env "${stand_in_env[@]}" KIVU_STANDIN_CONTROL="$sandbox/pass" FAKE_GATE="$gate" "$source_dir/scripts/slurm-suite.sh" \
  -b "$build" -s "$odd/two cases" -o "$results" -- --time=5 >"$work/killed.txt" 2>&1 &
killed=$!
for (( i = 0; i < 600; ++i )); do
  grep -q "job [0-9]" "$work/killed.txt" && break
  sleep 0.1
done
kill -KILL "$killed"
wait "$killed" 2>/dev/null
earlier=$(sed -n 's/.*job \([0-9]*\),.*/\1/p' "$work/killed.txt")
two "$results" KIVU_STANDIN_CONTROL="$sandbox/fail" >"$work/refused.txt" 2>&1
status=$?
if [[ -n $earlier ]] && (( status == 2 )) && grep -q "job $earlier, still runs" "$work/refused.txt"; then
  pass "a run while the array of a killed run ($earlier) still runs: refused"
else
  fail "a run while the array of a killed run still runs (exit $status):"; cat "$work/killed.txt" "$work/refused.txt"
fi
touch "$gate"
for (( i = 0; i < 1200; ++i )); do
  [[ -z $(squeue --noheader --array --jobs="$earlier" 2>/dev/null) ]] && break
  sleep 0.1
done
two "$results" KIVU_STANDIN_CONTROL="$sandbox/fail" >"$work/after.txt" 2>&1
status=$?
if (( status == 1 )) && grep -q "2 cases, 0 passed, 2 failed" "$work/after.txt"; then
  pass "failing cases after the killed run's array passed: reported failed"
else
  fail "failing cases after the killed run's array (exit $status):"; cat "$work/after.txt"
fi

finish
