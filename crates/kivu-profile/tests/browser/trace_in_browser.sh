#!/bin/sh
# The GEMM trace in the offline viewer in headless Chromium: a profiled run of
# the suite's GEMM scenario, its trace from kivu-profile, and view_trace.cjs,
# which opens it in speedscope, takes a screenshot and checks it.
#
#   trace_in_browser.sh GEMM_RUNNER KIVU_PROFILE NODE_MODULES WORK_DIR
#
# Exit 77 (a skip) with the reason when Chromium, Node.js or the npm packages
# are missing: `scripts/install-deps.sh browser` installs them. KIVU_CHROMIUM
# names another Chromium than /usr/bin/chromium.
set -eu
runner=$1 profile_tool=$2 modules=$3 work=$4
. "$(dirname "$0")/../../../../scripts/browser/needs_browser.sh"
need_browser "$modules" speedscope/dist/release/index.html

rm -rf "$work"
mkdir -p "$work"
KIVU_GEMM_DIMENSION=128 KIVU_GEMM_SRAM_CHECK_BLOCK=1,1 KIVU_PROFILE_OUTPUT="$work/gemm-profile.capnp" "$runner"
"$profile_tool" trace "$work/gemm-profile.capnp" -o "$work/gemm-trace.json" >/dev/null
# A private home: Chromium writes its caches there.
HOME="$work" exec node "$(dirname "$0")/view_trace.cjs" "$modules" "$work/gemm-trace.json" "$work/gemm-trace.png" "$work"
