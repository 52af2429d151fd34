#!/usr/bin/env bash
# Time and peak memory of `kivu-profile diff` on two large GEMM profiles:
# the runner at dimension 1216 (38 x 38 blocks on 1444 tiles) with the
# broadcast and the ring schedule. Prints each run's wall and CPU time and
# maximum resident size (from /usr/bin/time -v), then the slowest time and largest
# peak against the targets: at most 1 s, and a peak of at most 3 x the two
# files' combined size. A measurement: exit 0 whatever the figures, unless
# a run fails (diff's exit status 3, a regression, is expected here).
#
# Usage: bench/profile_diff.sh [BUILD_DIR] [N]
#   BUILD_DIR  where kivu-profile and kivu-gemm-e2e were built
#              (default target/release)
#   N          runs of diff (default 5)
set -euo pipefail

build_dir=${1:-target/release}
runs=${2:-5}
profile_tool="$build_dir/kivu-profile"
gemm="$build_dir/kivu-gemm-e2e"
for program in "$profile_tool" "$gemm"; do
  [[ -x $program ]] || { echo "profile_diff.sh: $program is not built" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "profile_diff.sh: /usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for schedule in broadcast ring; do
  KIVU_GEMM_DIMENSION=1216 KIVU_GEMM_SCHEDULE=$schedule KIVU_PROFILE_OUTPUT="$scratch/$schedule.capnp" \
    "$gemm" >/dev/null
done
base_bytes=$(stat -c %s "$scratch/broadcast.capnp")
new_bytes=$(stat -c %s "$scratch/ring.capnp")
combined=$((base_bytes + new_bytes))
echo "profiles: broadcast $base_bytes bytes, ring $new_bytes bytes, combined $combined bytes"

slowest_ms=0
largest_kib=0
for ((run = 1; run <= runs; run++)); do
  status=0
  /usr/bin/time -v -o "$scratch/time.txt" "$profile_tool" diff "$scratch/broadcast.capnp" "$scratch/ring.capnp" \
    >"$scratch/diff.txt" || status=$?
  if ((status != 0 && status != 3)); then
    echo "profile_diff.sh: kivu-profile diff exited with $status" >&2
    cat "$scratch/diff.txt" >&2
    exit 1
  fi
  # "Elapsed (wall clock) time (h:mm:ss or m:ss): 0:00.41"
  elapsed=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$scratch/time.txt")
  ms=$(awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%d", s * 1000 + 0.5 }' <<<"$elapsed")
  kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$scratch/time.txt")
  # CPU time (user + system) says more than wall time on a loaded machine.
  cpu_ms=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%d", s * 1000 + 0.5 }' "$scratch/time.txt")
  echo "run $run: ${ms} ms wall, ${cpu_ms} ms CPU, peak resident ${kib} KiB"
  ((ms > slowest_ms)) && slowest_ms=$ms
  ((kib > largest_kib)) && largest_kib=$kib
done

ratio=$(awk -v peak="$largest_kib" -v files="$combined" 'BEGIN { printf "%.2f", peak * 1024 / files }')
echo "slowest: ${slowest_ms} ms (target 1000 ms)"
echo "largest peak: ${largest_kib} KiB = ${ratio} x the two files (target 3 x)"
