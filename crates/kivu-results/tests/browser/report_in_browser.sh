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
. "$(dirname "$0")/../../../../scripts/browser/needs_browser.sh"
need_browser "$modules"

rm -rf "$work"
mkdir -p "$work"
"$sample" "$work/report.html" "$work/expected.json"
# A private home: Chromium writes its caches there.
HOME="$work" exec node "$(dirname "$0")/view_report.cjs" "$modules" "$work/report.html" "$work/expected.json" \
  "$work/report-page.png"
