#!/usr/bin/env bash
# Runs one golden case of a command-line tool and compares what it printed,
# byte for byte, with the expected files beside it; or, with
# KIVU_GOLDEN_UPDATE=1 (`make golden`), rewrites those files.
#
# Usage: run_golden_case.sh TOOL_DIR GOLDEN_DIR CASE SCRATCH BUILD_DIR SOURCE_DIR VERSION
#
# A case is GOLDEN_DIR/CASE.cmd: lines starting with # are comments, the rest
# is one bash command line (a \ at a line's end continues it), for example
#   KIVU_SIM_BOARDS=3 kivu-boards --json
# It runs in a fresh folder SCRATCH, which holds `inputs`, a link to
# GOLDEN_DIR/inputs when that exists, so cases name their inputs as
# inputs/NAME and write files into the current folder. The environment is
# empty but for PATH (TOOL_DIR first, so the tool is the build's), LC_ALL=C,
# TZ=UTC, HOME and SCRATCH (both the scratch folder); standard input is
# /dev/null unless the command redirects it. The comment line
#   # REQUIRES: private-network
# runs the case in a network namespace of its own (unshare), where no other
# process binds an abstract socket such as a board's lock; the case is
# skipped (exit 77) where namespaces cannot be made.
#
# Expected: CASE.out (standard output), CASE.err (standard error), each left
# out when empty, and CASE.status (the exit status and a newline). Before the
# comparison, and before they are written, both outputs are normalised in one
# way: the absolute paths of SCRATCH, BUILD_DIR and SOURCE_DIR (in that
# order) become $SCRATCH, $BUILD and $SOURCE, and the workspace's VERSION,
# standing alone, becomes $VERSION.
#
# Exit status: 0 as expected (or rewritten), 1 different (a unified diff
# says how) or the case is broken, 77 skipped.
set -u

if [[ $# -ne 7 ]]; then
  echo "usage: run_golden_case.sh TOOL_DIR GOLDEN_DIR CASE SCRATCH BUILD_DIR SOURCE_DIR VERSION" >&2
  exit 1
fi
tool_dir=$1 golden=$2 case=$3 scratch=$4 build=$5 source=$6 version=$7
cmd_file=$golden/$case.cmd
[[ -f $cmd_file ]] || { echo "golden: no $cmd_file" >&2; exit 1; }

command=$(grep -v '^[[:space:]]*#' "$cmd_file")
[[ -n ${command//[[:space:]]/} ]] || { echo "golden: $cmd_file holds no command" >&2; exit 1; }
isolate=()
if grep -qx '#[[:space:]]*REQUIRES:[[:space:]]*private-network[[:space:]]*' "$cmd_file"; then
  if ! unshare --user --map-root-user --net true 2>/dev/null; then
    echo "golden: $case skipped: it needs a network namespace of its own, and unshare cannot make one here"
    exit 77
  fi
  isolate=(unshare --user --map-root-user --net)
fi

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
[[ -d $golden/inputs ]] && ln -s "$golden/inputs" "$scratch/inputs"
actual=$scratch.actual
rm -rf "$actual" && mkdir -p "$actual" || exit 1

(cd "$scratch" && exec "${isolate[@]}" env -i PATH="$tool_dir:/usr/local/bin:/usr/bin:/bin" LC_ALL=C TZ=UTC \
  HOME="$scratch" SCRATCH="$scratch" bash --noprofile --norc -c "$command") \
  </dev/null >"$actual/raw.out" 2>"$actual/raw.err"
echo $? >"$actual/$case.status"

normalise() {
  SCRATCH_DIR=$scratch BUILD_DIR=$build SOURCE_DIR=$source VERSION=$version perl -0777 -pe '
    s/\Q$ENV{SCRATCH_DIR}\E/\$SCRATCH/g; s/\Q$ENV{BUILD_DIR}\E/\$BUILD/g; s/\Q$ENV{SOURCE_DIR}\E/\$SOURCE/g;
    s/(?<![\w.])\Q$ENV{VERSION}\E(?![\w.])/\$VERSION/g' "$1"
}
normalise "$actual/raw.out" >"$actual/$case.out"
normalise "$actual/raw.err" >"$actual/$case.err"

if [[ ${KIVU_GOLDEN_UPDATE:-} == 1 ]]; then
  for kind in out err; do
    if [[ -s $actual/$case.$kind ]]; then cp "$actual/$case.$kind" "$golden/$case.$kind"; else rm -f "$golden/$case.$kind"; fi
  done
  cp "$actual/$case.status" "$golden/$case.status"
  echo "golden: $case rewritten"
  exit 0
fi

status=0
for kind in status out err; do
  expected=$golden/$case.$kind
  if [[ ! -e $expected ]]; then
    if [[ $kind == status ]]; then
      echo "golden: $case has no $case.status yet; run \`make golden\` and review what it wrote"
      exit 1
    fi
    expected=/dev/null
  fi
  if ! cmp -s "$expected" "$actual/$case.$kind"; then
    echo "golden: $case: the $(case $kind in out) echo "standard output" ;; err) echo "standard error" ;; *) echo "exit status" ;; esac) differs from $case.$kind:"
    diff -u --label "expected/$case.$kind" --label "actual/$case.$kind" "$expected" "$actual/$case.$kind"
    status=1
  fi
done
if [[ $status -ne 0 ]]; then
  echo "golden: the command was: $command"
  echo "golden: after an intended change, \`make golden\` rewrites the expected files"
fi
exit $status
