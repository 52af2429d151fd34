#!/bin/sh
# Builds the profile reader's fuzz target (clang-19, libFuzzer, ASan, UBSan)
# and runs it for a bounded time, seeded with the committed corpus.
#
#   scripts/fuzz.sh [SECONDS]     default 60
#
# New inputs go to target/fuzz/corpus (not committed); crashes, leaks and
# out-of-memory inputs are written to target/fuzz/artifacts and fail the run.
# Copy such an input to fuzz/regressions/ and it becomes a regression test.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target profile_read_fuzzer -j 2

work=target/fuzz
mkdir -p "$work/corpus" "$work/artifacts"
# Inputs are capped at 1 MiB and the reader may use a small multiple of its
# input, so a single allocation above 256 MiB is a finding. The RSS limit
# leaves room for libFuzzer's own bookkeeping, which grows over long runs.
"$work/profile_read_fuzzer" \
  -max_total_time="$seconds" -max_len=1048576 -timeout=10 \
  -rss_limit_mb=2048 -malloc_limit_mb=256 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  "$work/corpus" fuzz/corpus fuzz/regressions
