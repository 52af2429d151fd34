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
chromium=${KIVU_CHROMIUM:-/usr/bin/chromium}

skip() {
  echo "skipped: $1"
  exit 77
}
install="scripts/install-deps.sh browser installs it"
[ -x "$chromium" ] || skip "no Chromium at $chromium; $install"
command -v node >/dev/null 2>&1 || skip "no node on PATH; $install"
# playwright-core of scripts/browser/package-lock.json needs Node.js 20.
node -e 'process.exit(parseInt(process.versions.node) >= 20 ? 0 : 1)' ||
  skip "node $(node --version) is older than the 20 that playwright-core needs"
[ -f "$modules/speedscope/dist/release/index.html" ] || skip "no speedscope in $modules; $install"
[ -d "$modules/playwright-core" ] || skip "no playwright-core in $modules; $install"

rm -rf "$work"
mkdir -p "$work"
KIVU_GEMM_DIMENSION=128 KIVU_GEMM_SRAM_CHECK_BLOCK=1,1 KIVU_PROFILE_OUTPUT="$work/gemm-profile.capnp" "$runner"
"$profile_tool" trace "$work/gemm-profile.capnp" -o "$work/gemm-trace.json" >/dev/null
# A private home: Chromium writes its caches there.
HOME="$work" exec node "$(dirname "$0")/view_trace.cjs" "$modules" "$work/gemm-trace.json" "$work/gemm-trace.png" "$work"
