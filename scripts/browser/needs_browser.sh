# Sourced (by sh) by the tests that open a page in headless Chromium:
# need_browser ends the test with exit 77 (a skip) and the reason when
# Chromium, Node.js 20 or an npm package is missing, and sets `chromium`.
# `scripts/install-deps.sh browser` installs them all; KIVU_CHROMIUM names
# another Chromium than /usr/bin/chromium.

skip() {
  echo "skipped: $1"
  exit 77
}

# need_browser NODE_MODULES [FILE...]: besides Chromium, Node.js and
# playwright-core, each FILE (a path below NODE_MODULES, checked first).
need_browser() {
  modules=$1
  shift
  chromium=${KIVU_CHROMIUM:-/usr/bin/chromium}
  install="scripts/install-deps.sh browser installs it"
  [ -x "$chromium" ] || skip "no Chromium at $chromium; $install"
  command -v node >/dev/null 2>&1 || skip "no node on PATH; $install"
  # playwright-core of scripts/browser/package-lock.json needs Node.js 20.
  node -e 'process.exit(parseInt(process.versions.node) >= 20 ? 0 : 1)' ||
    skip "node $(node --version) is older than the 20 that playwright-core needs"
  for file in "$@"; do
    [ -e "$modules/$file" ] || skip "no ${file%%/*} in $modules; $install"
  done
  [ -d "$modules/playwright-core" ] || skip "no playwright-core in $modules; $install"
}
