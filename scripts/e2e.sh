#!/bin/sh
# The main job: run the hardware end-to-end suite against the runners in the
# build directory given as the first argument.
set -eu
dir=${1:-target/debug}
# Without the suite there is nothing to report: a missing one (a wrong
# folder, or a preset that leaves the runtime out) is a failure.
if [ ! -x "$dir/hardware_e2e" ]; then
  echo "e2e.sh: $dir/hardware_e2e is not built (make e2e builds it; the fuzz preset leaves it out)" >&2
  exit 1
fi
"$dir/hardware_e2e"

# One more profiled GEMM run, shown with kivu-profile: the cycle profile, its
# trace (for speedscope, offline, or Perfetto UI) and its heatmap land side by
# side.
if [ -x "$dir/kivu-gemm-e2e" ] && [ -x "$dir/kivu-profile" ]; then
  profile="$dir/gemm-profile.capnp"
  KIVU_GEMM_DIMENSION=128 KIVU_GEMM_SRAM_CHECK_BLOCK=1,1 KIVU_PROFILE_OUTPUT="$profile" "$dir/kivu-gemm-e2e"
  "$dir/kivu-profile" trace "$profile" -o "$dir/gemm-trace.json" >/dev/null
  "$dir/kivu-profile" heatmap "$profile" -o "$dir/gemm-heatmap.svg" >/dev/null
  echo "GEMM cycle profile: $profile ($dir/kivu-profile summary $profile)"
  echo "  trace:   $dir/gemm-trace.json (Perfetto UI online; offline, after scripts/install-deps.sh browser:"
  echo "           target/browser/node_modules/.bin/speedscope $dir/gemm-trace.json)"
  echo "  heatmap: $dir/gemm-heatmap.svg"
else
  echo "kivu-gemm-e2e is not built yet; skipped the profiled GEMM run"
fi
