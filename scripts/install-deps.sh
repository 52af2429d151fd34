#!/bin/sh
# Installs the Debian packages the workspace builds with, and nothing else.
# Idempotent: when everything is present it only asks dpkg and returns.
set -eu

packages="g++ make cmake pkg-config capnproto libcapnp-dev libgtest-dev libgmock-dev
libfmt-dev libbenchmark-dev nlohmann-json3-dev libtinyxml2-dev"

# `install-deps.sh fuzz` adds the clang toolchain of the fuzz build,
# `install-deps.sh format` the formatter that scripts/check-format.sh runs,
# `install-deps.sh slurm` the scheduler and its authentication service that
# the suite's Slurm test runs on this host (see docs/boards-and-ci.md).
case "${1:-}" in
  fuzz) packages="$packages clang-19 libclang-rt-19-dev" ;;
  format) packages="$packages clang-format" ;;
  slurm) packages="$packages slurm-wlm munge" ;;
esac

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing="$missing $p"
done

[ -z "$missing" ] && exit 0

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
