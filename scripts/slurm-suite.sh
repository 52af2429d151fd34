#!/usr/bin/env bash
# Runs the hardware cases under Slurm: one array job, one task per case, each
# asking for one board (--gres=kivu:1) and taking the first free board of the
# host it lands on (KIVU_TEST_BOARD=any); waits for the array, then merges
# the cases' results into one JUnit report (kivu-results merge). Given a
# results store, it also records the report and a GEMM cycle profile there.
# See docs/boards-and-ci.md and docs/results.md.
#
# Usage: scripts/slurm-suite.sh [-b BUILD_DIR] [-s SUITE] [-o RESULTS] [-d URL] [-h] [-- SBATCH_OPTION...]
#   -b  the build (default target/debug): its hardware_e2e and kivu-results
#       (with -d also its kivu-gemm-e2e and kivu-boards)
#   -s  the suite to run (default BUILD_DIR/hardware_e2e)
#   -o  the results folder (default BUILD_DIR/slurm-results), on a file
#       system that every host of the partition shares: JOB/ per array
#       (JOB its job id) with JOB/cases.txt (the cases that must report),
#       JOB/xml/<case>.xml (one result per case), JOB/log/<task>.out (each
#       task's output); report.xml (the merged report of the last array)
#   -d  the results store to record into (kivu-results --db: a path,
#       sqlite:PATH or postgresql://...); default KIVU_RESULTS_DB, and
#       without either nothing is recorded. With a store, one more job asks
#       for a board and runs the GEMM runner with a cycle profile
#       (JOB/gemm-profile.capnp, its output JOB/log/gemm-profile.out); the
#       merged report and the profile (as the case
#       hardware_e2e.blocked_gemm_with_cycle_profile_works) are then recorded
#       under the current checkout's commit
#   -h  this text
#   after --, options for sbatch (--partition=..., --time=...)
#
# Exit status: 0 every case passed (and, with a store, the profile was made
# and both records kept); 1 a case failed or never reported, a task did not
# end with exit code 0, or the profile or a record failed; 2 bad arguments
# or nothing submitted (also while an earlier array of the same results
# folder still runs). Interrupted, it cancels the array. KIVU_SLURM_POLL:
# seconds between looks at the queue (default 1).
set -euo pipefail

say() { echo "slurm-suite.sh: $*" >&2; }
# TEXT as one word of sh: in single quotes, each ' written as '\''.
quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

usage() { sed -n '/^# Usage:/,/^# seconds between/p' "$0" | sed 's/^# \{0,1\}//'; }
build=target/debug
suite=
results=
store=${KIVU_RESULTS_DB:-}
[[ ${1:-} == --help ]] && { usage; exit 0; }
while getopts b:s:o:d:h option; do
  case $option in
    b) build=$OPTARG ;;
    s) suite=$OPTARG ;;
    o) results=$OPTARG ;;
    d) store=$OPTARG ;;
    h) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
shift $(( OPTIND - 1 ))
[[ ${1:-} == -- ]] && shift
suite=${suite:-$build/hardware_e2e}
results=${results:-$build/slurm-results}
tool=$build/kivu-results
programs=("$suite" "$tool")
[[ -n $store ]] && programs+=("$build/kivu-gemm-e2e" "$build/kivu-boards")
for program in "${programs[@]}"; do
  [[ -x $program ]] || { say "$program is not built"; exit 2; }
done
for program in sbatch squeue scancel scontrol; do
  command -v "$program" >/dev/null || { say "$program is missing"; exit 2; }
done
# sbatch's file name patterns take a backslash as "no patterns at all".
[[ $results != *[\\$'\n']* ]] || { say "the results folder's path cannot hold a backslash or a line break"; exit 2; }

# Absolute paths: the tasks run wherever Slurm starts them.
suite=$(realpath "$suite")
tool=$(realpath "$tool")
build=$(realpath "$build")
mkdir -p "$results"
results=$(realpath "$results")

# One run at a time per results folder; and none while the array of an
# earlier run (one killed before it could cancel it) is still queued or
# running: it would take boards, and its results are not this run's.
exec {lock}>>"$results/lock"
flock --nonblock "$lock" || { say "another slurm-suite.sh uses $results"; exit 2; }
if [[ -s $results/job ]]; then
  earlier=$(<"$results/job")
  if [[ $earlier =~ ^[0-9]+$ && -n $(squeue --noheader --array --jobs="$earlier" --format=%i 2>/dev/null) ]]; then
    say "the array of an earlier run, job $earlier, still runs with its results in $results;" \
      "wait for it or cancel it (scancel $earlier)"
    exit 2
  fi
fi
# Folders of earlier runs go; each run reads only its own.
find "$results" -mindepth 1 -maxdepth 1 -type d -regex '.*/[0-9]+' -exec rm -rf {} +
rm -f "$results/report.xml"

listing=$(mktemp "$results/.cases.XXXXXX")
names=$(mktemp "$results/.names.XXXXXX")
trap 'rm -f "$listing" "$names"' EXIT
"$suite" --gtest_list_tests >"$listing"
# "hardware_e2e." then "  <case>" lines: one full name per line.
awk '/^[^ ]/ { suite = $1; next } NF { print suite $1 }' "$listing" >"$names"
count=$(wc -l <"$names")
(( count > 0 )) || { say "$suite lists no case"; exit 2; }

# Each task runs the case on its line of JOB/names.txt on the first free
# board of its host and writes its result into JOB/xml: an array finds only
# its own folder, whatever other arrays do. The task sets KIVU_TEST_BOARD
# itself: with --export=ALL,NAME=value sbatch would have slurmd rebuild the
# user's login environment for every task, which takes seconds. The script
# is sh, and every path in it is quoted once, as sh reads it.
task="#!/bin/sh
results=$(quote "$results")
suite=$(quote "$suite")
run=\$results/\$SLURM_ARRAY_JOB_ID
name=\$(sed -n \"\$((SLURM_ARRAY_TASK_ID + 1))p\" \"\$run/names.txt\")
KIVU_TEST_BOARD=any
export KIVU_TEST_BOARD
exec \"\$suite\" --gtest_filter=\"\$name\" --gtest_output=\"xml:\$run/xml/\${name#*.}.xml\"
"
# Held until its folder exists: Slurm opens each task's output file there.
job=$(sbatch --parsable --hold --job-name=hardware_e2e --array="0-$(( count - 1 ))" --gres=kivu:1 \
  --output="${results//%/%%}/%A/log/%a.out" "$@" <<<"$task")
job=${job%%;*}
[[ $job =~ ^[0-9]+$ ]] || { say "sbatch gave no job id: $job"; exit 2; }
trap 'rm -f "$listing" "$names"; scancel "$job" 2>/dev/null; exit 130' INT TERM HUP
printf '%s\n' "$job" >"$results/job"
run=$results/$job
mkdir -p "$run/xml" "$run/log"
mv "$listing" "$run/cases.txt"
mv "$names" "$run/names.txt"
scontrol release "$job"
echo "slurm-suite.sh: job $job, $count cases, results in $run"

# Wait until no task of the array is pending, running or completing.
# (Without the lock: a run killed here must not keep it through a child.)
while [[ -n $(squeue --noheader --array --jobs="$job" --format=%i 2>/dev/null {lock}>&-) ]]; do
  sleep "${KIVU_SLURM_POLL:-1}" {lock}>&-
done
trap - INT TERM HUP

status=0
"$tool" merge --expected "$run/cases.txt" -o "$results/report.xml" "$run/xml" || status=$?

# A result file says what the case saw; the task's exit code says how the
# process ended (killed, out of time, a crash after the result was written).
# Both must say "passed". From sacct where the cluster keeps accounting, else
# from slurmctld's records of finished jobs (kept for MinJobAge).
task_states() {
  local lines
  if lines=$(sacct --noheader --parsable2 --allocations --jobs="$job" --format=JobID,State,ExitCode 2>/dev/null) &&
    [[ -n $lines ]]; then
    awk -F'|' '$1 ~ /_[0-9]+$/ { sub(/.*_/, "", $1); split($2, state, " "); print $1, state[1], $3 }' <<<"$lines"
  else
    scontrol --oneliner show job "$job" 2>/dev/null | awk '{
      task = ""; state = ""; code = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^ArrayTaskId=/) task = substr($i, 13)
        if ($i ~ /^JobState=/) state = substr($i, 10)
        if ($i ~ /^ExitCode=/) code = substr($i, 10)
      }
      if (task ~ /^[0-9]+$/) print task, state, code }'
  fi
}
states=$(task_states)
bad=0
for (( index = 0; index < count; ++index )); do
  read -r state code < <(awk -v t="$index" '$1 == t { print $2, $3 }' <<<"$states") || true
  if [[ ${state:-} != COMPLETED || ${code:-} != 0:0 ]]; then
    (( bad++ < 20 )) && say "task $index ($(sed -n "$(( index + 1 ))p" "$run/names.txt")): ${state:-no record}${code:+, exit code $code}"
    state=
  fi
  state=
  code=
done
if (( bad > 0 )); then
  say "$bad of $count tasks did not end with exit code 0 (their output: $run/log)"
  (( status != 0 )) || status=1
fi

# With a store: one profiled GEMM run on a board of its own, as make e2e
# makes one, then the report and the profile go into the store. The runner
# takes no board lock of its own (as in make e2e): Slurm's count keeps it
# to a board no task of this array holds, and it runs on the first board
# kivu-boards shows free on its host.
if [[ -n $store ]]; then
  profile=$run/gemm-profile.capnp
  profile_task="#!/bin/sh
build=$(quote "$build")
board=\$(\"\$build/kivu-boards\" | awk '\$NF == \"free\" { print \$1; exit }')
KIVU_BOARD=\${board:-0} KIVU_GEMM_DIMENSION=128 KIVU_GEMM_SRAM_CHECK_BLOCK=1,1 KIVU_PROFILE_OUTPUT=$(quote "$profile")
export KIVU_BOARD KIVU_GEMM_DIMENSION KIVU_GEMM_SRAM_CHECK_BLOCK KIVU_PROFILE_OUTPUT
exec \"\$build/kivu-gemm-e2e\"
"
  if ! sbatch --wait --quiet --job-name=hardware_e2e_gemm_profile --gres=kivu:1 \
    --output="${run//%/%%}/log/gemm-profile.out" "$@" <<<"$profile_task" || [[ ! -s $profile ]]; then
    say "the profiled GEMM run failed (its output: $run/log/gemm-profile.out); the report alone is recorded"
    profile=
    (( status != 0 )) || status=1
  fi
  "$tool" record --db "$store" "$results/report.xml" || { say "the report was not recorded"; (( status != 0 )) || status=1; }
  if [[ -n $profile ]]; then
    "$tool" record --db "$store" --case hardware_e2e.blocked_gemm_with_cycle_profile_works "$profile" ||
      { say "the profile was not recorded"; (( status != 0 )) || status=1; }
  fi
fi
exit "$status"
