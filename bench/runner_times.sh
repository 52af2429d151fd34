#!/usr/bin/env bash
# Wall time of each runner scenario of the hardware end-to-end suite on the
# simulated board: runs every scenario N times and prints the mean and the
# slowest run in milliseconds. A measurement, not a test: nothing is
# asserted about the times; a scenario that does not exit 0 is reported.
#
# Usage: bench/runner_times.sh [BUILD_DIR] [N]
#   BUILD_DIR  where the runners were built (default target/debug)
#   N          runs per scenario (default 10)
# Extra environment (e.g. KIVU_HOST_WRITE_JITTER_MAX_US=200) is passed on.
set -euo pipefail

build_dir=${1:-target/debug}
runs=${2:-10}
host="$build_dir/kivu-host-e2e"
graph="$build_dir/kivu-hardware-e2e"
random="$build_dir/kivu-randomized-e2e"
gemm="$build_dir/kivu-gemm-e2e"
attention="$build_dir/kivu-attention-f16-e2e"
for runner in "$host" "$graph" "$random" "$gemm" "$attention"; do
  [[ -x $runner ]] || { echo "runner_times.sh: $runner is not built" >&2; exit 2; }
done

# The GEMM runner writes its cycle profile here, as in the suite's case.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The 86 logical tiles at every position of row 0 and position 17 of rows 1..22.
route_tiles=0,90,1,91,92,182,93,183,184,274,185,275,276,366,277,367,368,458,369,459,460,550,461,551,552,642,553,643,644,734,645,735,736,826,737,827,828,918,829,919,920,1010,921,1011,1012,1102,1013,1103,1104,1194,1105,1195,1196,1286,1197,1287,1288,1378,1289,1379,1380,1470,1381,1471,456,454,452,450,448,446,444,442,440,438,436,434,432,430,428,426,424,422,420,418,416,414

# name | runner | variables
scenarios=(
  "local round trip|$host|"
  "remote-tile round trip|$host|KIVU_HOST_TEST_TILE=1471 KIVU_HOST_TEST_BYTES=8192"
  "64-KiB high-address round trip|$host|KIVU_HOST_TEST_TILE=100 KIVU_HOST_TEST_BYTES=65536 KIVU_HOST_TEST_ADDRESS=0x60000"
  "distinct multi-source D2H|$host|KIVU_HOST_TEST_TILES=1471,274 KIVU_HOST_TEST_BYTES=64"
  "initialised local D2H|$host|KIVU_HOST_TEST_D2H_ONLY=1"
  "initialised remote D2H|$host|KIVU_HOST_TEST_REMOTE_D2H=1 KIVU_HOST_TEST_TILE=1471 KIVU_HOST_TEST_BYTES=8192"
  "timed relay|$host|KIVU_HOST_TEST_EXCHANGE=1 KIVU_HOST_TEST_BYTES=2048"
  "initialised relay|$host|KIVU_HOST_TEST_EXCHANGE=1 KIVU_HOST_TEST_INITIALIZED_EXCHANGE=1"
  "compute relay|$host|KIVU_HOST_TEST_COMPUTE_RELAY=1 KIVU_HOST_TEST_BYTES=4"
  "random trip 1|$host|KIVU_HOST_TEST_TILES=34,71,144,956,1104,1157,1243,1300 KIVU_HOST_TEST_BYTES=4"
  "random trip 2|$host|KIVU_HOST_TEST_TILES=11,19,108,451,536,647,846,958 KIVU_HOST_TEST_BYTES=1024"
  "random trip 3|$host|KIVU_HOST_TEST_TILES=19,82,416,602,829,893,1065,1187 KIVU_HOST_TEST_BYTES=8192"
  "86-tile host routes|$host|KIVU_HOST_TEST_TILES=$route_tiles KIVU_HOST_TEST_BYTES=64"
  "graph fanout|$graph|KIVU_GRAPH_TEST=fanout"
  "graph reduction|$graph|KIVU_GRAPH_TEST=reduction"
  "graph permutation|$graph|KIVU_GRAPH_TEST=permutation"
  "graph reduction-permutation|$graph|KIVU_GRAPH_TEST=reduction-permutation"
  "graph multicast|$graph|KIVU_GRAPH_TEST=multicast"
  "graph compiler-segmented-add|$graph|KIVU_GRAPH_TEST=compiler-segmented-add"
  "random graph seed 1|$random|KIVU_RANDOM_SEED=4850185854117627181"
  "random graph seed 2|$random|KIVU_RANDOM_SEED=7640891576956012809"
  "random graph seed 3|$random|KIVU_RANDOM_SEED=13503953896175478587"
  "blocked GEMM 128, profiled|$gemm|KIVU_GEMM_DIMENSION=128 KIVU_PROFILE_OUTPUT=@scratch@/gemm-profile.capnp KIVU_GEMM_SRAM_CHECK_BLOCK=1,1"
  "blocked GEMM 512|$gemm|KIVU_GEMM_DIMENSION=512 KIVU_GEMM_SRAM_CHECK_BLOCK=15,15"
  "blocked GEMM 1216 (largest grid)|$gemm|KIVU_GEMM_DIMENSION=1216 KIVU_GEMM_SRAM_CHECK_BLOCK=37,37"
  "FP16 FlashAttention, 9 shapes|$attention|"
)

printf '%-34s %10s %10s\n' scenario "mean ms" "max ms"
for entry in "${scenarios[@]}"; do
  IFS='|' read -r name runner variables <<<"$entry"
  # The variables are words; @scratch@ stands for the scratch folder, whose
  # path (from TMPDIR) may hold spaces.
  read -ra variables <<<"$variables"
  variables=("${variables[@]//@scratch@/"$scratch"}")
  total=0
  slowest=0
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    if ! env "${variables[@]}" "$runner" >/dev/null 2>&1; then
      echo "runner_times.sh: $name failed" >&2
    fi
    elapsed=$(($(date +%s%N) - start))
    total=$((total + elapsed))
    ((elapsed > slowest)) && slowest=$elapsed
  done
  awk -v name="$name" -v total="$total" -v runs="$runs" -v slowest="$slowest" \
    'BEGIN { printf "%-34s %10.1f %10.1f\n", name, total / runs / 1e6, slowest / 1e6 }'
done
