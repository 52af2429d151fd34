#!/bin/sh
# The main job: run the hardware end-to-end suite against the runners in the
# build directory given as the first argument.
set -eu
dir=${1:-target/debug}
if [ -x "$dir/hardware_e2e" ]; then
  "$dir/hardware_e2e"
else
  echo "hardware_e2e is not built yet; the workspace was built"
fi
