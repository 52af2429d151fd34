#!/usr/bin/env bash
# Runs the hardware cases under Slurm: one array job, one task per case, each
# asking for one board (--gres=kivu:1) and taking the first free board of the
# host it lands on (KIVU_TEST_BOARD=any); waits for the array, then merges
# the cases' results into one JUnit report. See docs/boards-and-ci.md.
#
# Usage: scripts/slurm-suite.sh [-b BUILD_DIR] [-s SUITE] [-o RESULTS] [-- SBATCH_OPTION...]
#   -b  the build (default target/debug): its hardware_e2e and hardware_e2e_merge
#   -s  the suite to run (default BUILD_DIR/hardware_e2e)
#   -o  the results folder (default BUILD_DIR/slurm-results), on a file
#       system that every host of the partition shares: cases.txt (the
#       cases that must report), xml/<case>.xml (one result per case),
#       log/<task>.out (each task's output), report.xml (the merged report)
#   after --, options for sbatch (--partition=..., --time=...)
#
# Exit status: the merge's: 0 every case passed, 1 a case failed or never
# reported; 2 bad arguments or nothing submitted. Interrupted, it cancels
# the array. KIVU_SLURM_POLL: seconds between looks at the queue (default 1).
set -euo pipefail

build=target/debug
suite=
results=
while getopts b:s:o: option; do
  case $option in
    b) build=$OPTARG ;;
    s) suite=$OPTARG ;;
    o) results=$OPTARG ;;
    *) sed -n '7,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
shift $(( OPTIND - 1 ))
[[ ${1:-} == -- ]] && shift
suite=${suite:-$build/hardware_e2e}
results=${results:-$build/slurm-results}
merge=$build/hardware_e2e_merge
for program in "$suite" "$merge"; do
  [[ -x $program ]] || { echo "slurm-suite.sh: $program is not built" >&2; exit 2; }
done
command -v sbatch >/dev/null || { echo "slurm-suite.sh: sbatch is missing" >&2; exit 2; }

# Absolute paths: the tasks run wherever Slurm starts them.
suite=$(realpath "$suite")
merge=$(realpath "$merge")
mkdir -p "$results"
results=$(realpath "$results")
# Results of an earlier run would stand in for cases that never report.
rm -rf "$results/xml" "$results/log" "$results/report.xml"
mkdir -p "$results/xml" "$results/log"

"$suite" --gtest_list_tests >"$results/cases.txt"
# "hardware_e2e." then "  <case>" lines: one full name per line.
awk '/^[^ ]/ { suite = $1; next } NF { print suite $1 }' "$results/cases.txt" >"$results/names.txt"
count=$(wc -l <"$results/names.txt")
(( count > 0 )) || { echo "slurm-suite.sh: $suite lists no case" >&2; exit 2; }

# Each task runs the case on its line of names.txt on the first free board
# of its host and writes its result. The task sets KIVU_TEST_BOARD itself:
# with --export=ALL,NAME=value sbatch would have slurmd rebuild the user's
# login environment for every task, which takes seconds.
task=$(printf 'name=$(sed -n "$((SLURM_ARRAY_TASK_ID + 1))p" %q)\nexport KIVU_TEST_BOARD=any\nexec %q --gtest_filter="$name" --gtest_output="xml:%q/${name#*.}.xml"' \
  "$results/names.txt" "$suite" "$results/xml")
job=$(sbatch --parsable --job-name=hardware_e2e --array="0-$(( count - 1 ))" --gres=kivu:1 \
  --output="$results/log/%a.out" "$@" --wrap="$task")
job=${job%%;*}
echo "slurm-suite.sh: job $job, $count cases, results in $results"
trap 'scancel "$job" 2>/dev/null; exit 130' INT TERM

# Wait until no task of the array is pending, running or completing.
while [[ -n $(squeue --noheader --array --jobs="$job" --format=%i 2>/dev/null) ]]; do
  sleep "${KIVU_SLURM_POLL:-1}"
done
trap - INT TERM

"$merge" --expected "$results/cases.txt" -o "$results/report.xml" "$results/xml"
