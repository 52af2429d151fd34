#!/bin/sh
# The report page in headless Chromium: the page of a fixed store from
# kivu_results_sample_report, and view_report.cjs, which opens it, checks
# what it shows and takes a screenshot.
#
#   report_in_browser.sh SAMPLE_REPORT NODE_MODULES WORK_DIR
#
# Exit 77 (a skip) with the reason when Chromium, Node.js or playwright-core
# is missing: `scripts/install-deps.sh browser` installs them. KIVU_CHROMIUM
# names another Chromium than /usr/bin/chromium.
set -eu
sample=$1 modules=$2 work=$3
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
[ -d "$modules/playwright-core" ] || skip "no playwright-core in $modules; $install"

rm -rf "$work"
mkdir -p "$work"
"$sample" "$work/report.html" "$work/expected.json"
# A private home: Chromium writes its caches there.
HOME="$work" exec node "$(dirname "$0")/view_report.cjs" "$modules" "$work/report.html" "$work/expected.json" \
  "$work/report-page.png"
