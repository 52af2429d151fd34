#!/usr/bin/env bash
# Wall time of the 20 hardware cases under ctest on 1, 2 and 4 simulated
# boards: for each board count B, a resource file from kivu-boards
# (KIVU_SIM_BOARDS=B) and `ctest -L hardware -j B --resource-spec-file`,
# N times; prints the fastest and the median run in seconds, and, from the
# last run, the sum of the cases' own times as ctest reports them (what one
# board must do in turn) and the longest case (below which no number of
# boards gets). A measurement, not a test: a run with a failed case is reported and
# ends the script with 1.
#
# Usage: bench/suite_boards.sh [BUILD_DIR] [N] [BOARD COUNTS...]
#   BUILD_DIR     the build with the suite, the runners and kivu-boards
#                 (default target/debug)
#   N             runs per board count (default 5)
#   BOARD COUNTS  default 1 2 4
set -euo pipefail

build_dir=${1:-target/debug}
runs=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
counts=("$@")
(( ${#counts[@]} )) || counts=(1 2 4)
for program in kivu-boards hardware_e2e; do
  [[ -x $build_dir/$program ]] || { echo "suite_boards.sh: $build_dir/$program is not built" >&2; exit 2; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
printf '%-7s %-5s %-10s %-10s %-15s %s\n' boards jobs "fastest s" "median s" "sum of cases s" "longest case s"
status=0
for boards in "${counts[@]}"; do
  resources=$scratch/boards-$boards.json
  KIVU_SIM_BOARDS=$boards "$build_dir/kivu-boards" resource-spec -o "$resources"
  times=()
  sum=0
  longest=0
  for (( run = 0; run < runs; ++run )); do
    log=$scratch/ctest-$boards-$run.txt
    start=$(date +%s%N)
    if ! KIVU_SIM_BOARDS=$boards ctest --test-dir "$build_dir" -L hardware -j "$boards" \
        --resource-spec-file "$resources" >"$log" 2>&1; then
      echo "suite_boards.sh: a case failed on $boards boards:" >&2
      grep -E 'Failed|\*\*\*' "$log" >&2 || true
      status=1
    fi
    end=$(date +%s%N)
    times+=("$(( (end - start) / 1000000 ))")
    # "n/20 Test #k: name ....   Passed    0.43 sec"
    read -r sum longest < <(awk '/Test +#[0-9]+:/ { for (i = 1; i <= NF; ++i) if ($i == "sec") { s += $(i - 1); if ($(i - 1) > m) m = $(i - 1) } }
      END { printf "%.2f %.2f\n", s, m }' "$log")
  done
  sorted=($(printf '%s\n' "${times[@]}" | sort -n))
  fastest=${sorted[0]}
  median=${sorted[$(( ${#sorted[@]} / 2 ))]}
  printf '%-7s %-5s %-10s %-10s %-15s %s\n' "$boards" "$boards" \
    "$(awk -v t="$fastest" 'BEGIN { printf "%.2f", t / 1000 }')" \
    "$(awk -v t="$median" 'BEGIN { printf "%.2f", t / 1000 }')" "$sum" "$longest"
done
exit $status
