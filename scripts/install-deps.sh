#!/bin/sh
# Installs the Debian packages the workspace builds with, and nothing else.
# Idempotent: when everything is present it only asks dpkg and returns.
set -eu

packages="g++ make cmake pkg-config capnproto libcapnp-dev libgtest-dev libgmock-dev
libfmt-dev libbenchmark-dev nlohmann-json3-dev libtinyxml2-dev libcli11-dev libsqlite3-dev sqlite3
libpq-dev libboost-math-dev"

# `install-deps.sh fuzz` adds the clang toolchain of the fuzz build,
# `install-deps.sh format` the formatter that scripts/check-format.sh runs,
# `install-deps.sh browser` Chromium and Node.js for the offline trace viewer
# and its headless-browser test (the npm part is installed further down),
# `install-deps.sh slurm` the scheduler and its authentication service that
# the suite's Slurm test runs on this host (see docs/boards-and-ci.md),
# `install-deps.sh postgres` the PostgreSQL server that the results store's
# PostgreSQL tests start a private cluster of (see docs/results.md).
component=${1:-}
case "$component" in
  fuzz) packages="$packages clang-19 libclang-rt-19-dev" ;;
  format) packages="$packages clang-format" ;;
  slurm) packages="$packages slurm-wlm munge" ;;
  postgres) packages="$packages postgresql" ;;
  browser)
    packages="$packages chromium nodejs"
    # Debian's nodejs comes without npm; other builds of it bring their own.
    command -v npm >/dev/null 2>&1 || packages="$packages npm"
    ;;
  "") ;;
  *)
    echo "install-deps.sh: unknown component \"$component\" (fuzz, format, slurm, browser or postgres)" >&2
    exit 2
    ;;
esac

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing="$missing $p"
done

if [ -n "$missing" ]; then
  echo "installing:$missing"
  if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
  else
    SUDO=
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Another install running at the same time holds dpkg's lock: wait for it
  # rather than fail at once.
  lock_wait="-o DPkg::Lock::Timeout=600"
  # shellcheck disable=SC2086
  $SUDO apt-get $lock_wait update -qq
  # shellcheck disable=SC2086
  $SUDO apt-get $lock_wait install -y -qq --no-install-recommends $missing
fi

# The browser component's npm packages: the trace viewer (speedscope) and the
# library that drives Chromium in the browser test, at the versions of
# scripts/browser/package-lock.json, into target/browser/node_modules (outside
# version control). Their install scripts are not run: neither needs one, and
# none may download a browser of its own.
if [ "$component" = browser ]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  dest="$root/target/browser"
  if ! cmp -s "$root/scripts/browser/package-lock.json" "$dest/package-lock.json" ||
     [ ! -f "$dest/node_modules/speedscope/dist/release/index.html" ]; then
    echo "installing the npm packages of scripts/browser into target/browser"
    mkdir -p "$dest"
    cp "$root/scripts/browser/package.json" "$root/scripts/browser/package-lock.json" "$dest/"
    (cd "$dest" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  fi
fi
