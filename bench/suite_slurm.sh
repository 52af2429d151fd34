#!/usr/bin/env bash
# Wall time of the 20 hardware cases under a single-node Slurm of their own
# (scripts/slurm-local.sh, BOARDS simulated boards) through
# scripts/slurm-suite.sh: submitting the array, waiting for it and merging
# the results, N times; prints the fastest and the median run in seconds
# and, from the last run, the sum of the cases' own times (from the merged
# report). Compare with bench/suite_boards.sh on the same machine. A
# measurement, not a test: a run with a failed case is reported and ends the
# script with 1. Needs root and scripts/install-deps.sh slurm.
#
# Usage: bench/suite_slurm.sh [BUILD_DIR] [N] [BOARDS]
#   BUILD_DIR  the build with the suite, the runners, kivu-boards and
#              kivu-results (default target/debug)
#   N          runs (default 5)
#   BOARDS     simulated boards (default 4)
#   KIVU_SLURM_POLL  seconds between looks at the queue (default here 0.1)
set -euo pipefail

build_dir=${1:-target/debug}
runs=${2:-5}
boards=${3:-4}
here=$(cd "$(dirname "$0")/.." && pwd)

scratch=$(mktemp -d)
trap '"$here/scripts/slurm-local.sh" stop "$scratch/slurm"; rm -rf "$scratch"' EXIT
eval "$(KIVU_SLURM_OWNER=$$ KIVU_BOARDS_TOOL=$build_dir/kivu-boards "$here/scripts/slurm-local.sh" start \
  "$scratch/slurm" "$boards")"
export KIVU_SIM_BOARDS=$boards
export KIVU_SLURM_POLL=${KIVU_SLURM_POLL:-0.1}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
times=()
status=0
for (( run = 0; run < runs; ++run )); do
  start=$(date +%s%N)
  if ! "$here/scripts/slurm-suite.sh" -b "$build_dir" -o "$scratch/results" >"$scratch/run.txt" 2>&1; then
    echo "suite_slurm.sh: a case failed:" >&2
    cat "$scratch/run.txt" >&2
    status=1
  fi
  end=$(date +%s%N)
  times+=("$(( (end - start) / 1000000 ))")
done
sum=$(grep -o '<testcase [^>]*time="[^"]*"' "$scratch/results/report.xml" |
  sed 's/.*time="\([^"]*\)"/\1/' | awk '{ s += $1 } END { printf "%.2f", s }')
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
printf '%-7s %-10s %-10s %s\n' boards "fastest s" "median s" "sum of cases s"
printf '%-7s %-10s %-10s %s\n' "$boards" \
  "$(awk -v t="${sorted[0]}" 'BEGIN { printf "%.2f", t / 1000 }')" \
  "$(awk -v t="${sorted[$(( ${#sorted[@]} / 2 ))]}" 'BEGIN { printf "%.2f", t / 1000 }')" "$sum"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
