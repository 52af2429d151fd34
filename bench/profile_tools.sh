#!/usr/bin/env bash
# Time and peak memory of the kivu-profile commands against reading the same
# files with `cat FILE > /dev/null`, on the two GEMM profiles of dimension
# 1216 (broadcast and ring schedule, as bench/profile_diff.sh makes them) and
# on a synthetic profile of BIG_MIB MiB (bench/make_profile). Each time is the
# median of N runs with the page cache warm; each figure is a ratio taken in
# the same run, so that a loaded machine shifts both sides; with perf
# installed, the same ratios by CPU time follow, which a loaded machine
# disturbs less. Prints the load average before and after. A measurement: exit 0 whatever the figures,
# unless a command fails.
#
# Targets: summary, heatmap <= 4x and 5x cat; diff <= 4x cat of both files;
# trace >= 1.5 M events/s; peak resident size <= 1.3x the input file(s),
# mapped pages included; summary of the large profile <= 4x cat, its peak
# <= 1.3x the file.
#
# Usage: bench/profile_tools.sh [BUILD_DIR] [N] [BIG_MIB]
#   BUILD_DIR  where kivu-profile, kivu-gemm-e2e and make_profile were built
#              (default target/release)
#   N          runs per figure (default 7)
#   BIG_MIB    size of the synthetic profile in MiB (default 1024; 0 skips it)
set -euo pipefail

build_dir=${1:-target/release}
runs=${2:-7}
big_mib=${3:-1024}
tool="$build_dir/kivu-profile"
gemm="$build_dir/kivu-gemm-e2e"
generator="$build_dir/make_profile"
for program in "$tool" "$gemm" "$generator"; do
  [[ -x $program ]] || { echo "profile_tools.sh: $program is not built" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "profile_tools.sh: /usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Median wall time of `runs` runs of the command, in microseconds; output to
# /dev/null. A command that fails (diff's 3, a regression, aside) ends the script.
median_us() {
  local times=() start end status
  for ((run = 0; run < runs; run++)); do
    start=$(date +%s%N)
    status=0
    "$@" >/dev/null 2>&1 || status=$?
    end=$(date +%s%N)
    if ((status != 0 && status != 3)); then
      echo "profile_tools.sh: '$*' exited with $status" >&2
      exit 1
    fi
    times+=($(((end - start) / 1000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# Median CPU time (task-clock: user and system time of the command and its
# children) of `runs` runs, in microseconds, from perf; empty without perf.
# On a loaded machine this says more than the wall time.
cpu_median_us() {
  command -v perf >/dev/null || return 0
  local times=() run
  for ((run = 0; run < runs; run++)); do
    times+=($(perf stat -x, -e task-clock -o "$scratch/perf.txt" "$@" >/dev/null 2>&1; \
      awk -F, '/task-clock/ { printf "%d", $1 * 1000 }' "$scratch/perf.txt"))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# Wall and CPU figures of one command against a reference: "W ms = R x" and,
# with perf, "; CPU C ms = R x".
compare() {
  local name=$1 wall=$2 reference_wall=$3 cpu=$4 reference_cpu=$5 what=$6
  local line="$name $(ms "$wall") = $(ratio "$wall" "$reference_wall") x $what"
  if [[ -n $cpu && -n $reference_cpu ]]; then
    line+="; CPU $(ms "$cpu") = $(ratio "$cpu" "$reference_cpu") x"
  fi
  echo "$line"
}

# Peak resident size of one run, in KiB.
peak_kib() {
  /usr/bin/time -f %M -o "$scratch/time.txt" "$@" >/dev/null 2>&1 || true
  tail -n 1 "$scratch/time.txt"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f ms", us / 1000 }'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

for schedule in broadcast ring; do
  KIVU_GEMM_DIMENSION=1216 KIVU_GEMM_SCHEDULE=$schedule KIVU_PROFILE_OUTPUT="$scratch/$schedule.capnp" \
    "$gemm" >/dev/null
done
base="$scratch/broadcast.capnp"
new="$scratch/ring.capnp"
base_bytes=$(stat -c %s "$base")
new_bytes=$(stat -c %s "$new")
echo "profiles: broadcast $base_bytes bytes, ring $new_bytes bytes"
cat "$base" "$new" >/dev/null

cat_us=$(median_us cat "$base")
cat_cpu=$(cpu_median_us cat "$base")
cat_both_us=$(median_us cat "$base" "$new")
cat_both_cpu=$(cpu_median_us cat "$base" "$new")
summary_us=$(median_us "$tool" summary "$base")
summary_cpu=$(cpu_median_us "$tool" summary "$base")
diff_us=$(median_us "$tool" diff "$base" "$new")
diff_cpu=$(cpu_median_us "$tool" diff "$base" "$new")
heatmap_us=$(median_us "$tool" heatmap "$base" -o "$scratch/heatmap.svg")
heatmap_cpu=$(cpu_median_us "$tool" heatmap "$base" -o "$scratch/heatmap.svg")
trace_us=$(median_us "$tool" trace "$base" -o "$scratch/trace.json")
trace_cpu=$(cpu_median_us "$tool" trace "$base" -o "$scratch/trace.json")
trace_null_us=$(median_us "$tool" trace "$base" -o /dev/null)
trace_null_cpu=$(cpu_median_us "$tool" trace "$base" -o /dev/null)
events=$(grep -c '"ph":"X"' "$scratch/trace.json")
rate() { [[ -n $2 ]] && awk -v n="$1" -v us="$2" 'BEGIN { printf "%.2f", n / us }'; }

echo "cat broadcast:        $(ms "$cat_us")${cat_cpu:+; CPU $(ms "$cat_cpu")}"
echo "cat both:             $(ms "$cat_both_us")${cat_both_cpu:+; CPU $(ms "$cat_both_cpu")}"
compare "summary:             " "$summary_us" "$cat_us" "$summary_cpu" "$cat_cpu" "cat (target <= 4)"
compare "diff:                " "$diff_us" "$cat_both_us" "$diff_cpu" "$cat_both_cpu" "cat of both (target <= 4)"
compare "heatmap:             " "$heatmap_us" "$cat_us" "$heatmap_cpu" "$cat_cpu" "cat (target <= 5)"
echo "trace to a file:      $(ms "$trace_us") for $events events = $(rate "$events" "$trace_us") M events/s" \
  "${trace_cpu:+; by CPU time $(rate "$events" "$trace_cpu") M events/s} (target >= 1.5)"
echo "trace to /dev/null:   $(ms "$trace_null_us") = $(rate "$events" "$trace_null_us") M events/s" \
  "${trace_null_cpu:+; by CPU time $(rate "$events" "$trace_null_cpu") M events/s}"
rm -f "$scratch/trace.json"

for command in summary heatmap trace diff; do
  case $command in
    summary) kib=$(peak_kib "$tool" summary "$base"); bytes=$base_bytes ;;
    heatmap) kib=$(peak_kib "$tool" heatmap "$base" -o "$scratch/heatmap.svg"); bytes=$base_bytes ;;
    trace) kib=$(peak_kib "$tool" trace "$base" -o /dev/null); bytes=$base_bytes ;;
    diff) kib=$(peak_kib "$tool" diff "$base" "$new"); bytes=$((base_bytes + new_bytes)) ;;
  esac
  echo "peak resident $command: $kib KiB = $(ratio "$((kib * 1024))" "$bytes") x the input (target <= 1.3)"
done

if ((big_mib > 0)); then
  free_kib=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
  if ((free_kib < big_mib * 1024 * 2)); then
    echo "large profile skipped: $((free_kib / 1024)) MiB free in $scratch, $((big_mib * 2)) MiB wanted"
  else
    big="$scratch/big.capnp"
    "$generator" "$big" "$big_mib" >/dev/null
    rm -f "$base" "$new"
    big_bytes=$(stat -c %s "$big")
    cat "$big" >/dev/null
    big_cat_us=$(median_us cat "$big")
    big_cat_cpu=$(cpu_median_us cat "$big")
    big_summary_us=$(median_us "$tool" summary "$big")
    big_summary_cpu=$(cpu_median_us "$tool" summary "$big")
    big_kib=$(peak_kib "$tool" summary "$big")
    echo "large profile: $big_bytes bytes"
    echo "cat large:            $(ms "$big_cat_us")${big_cat_cpu:+; CPU $(ms "$big_cat_cpu")}"
    compare "summary large:       " "$big_summary_us" "$big_cat_us" "$big_summary_cpu" "$big_cat_cpu" \
      "cat (target <= 4)"
    echo "peak resident summary large: $big_kib KiB = $(ratio "$((big_kib * 1024))" "$big_bytes") x the file" \
      "(target <= 1.3)"
  fi
fi

echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
