#!/usr/bin/env bash
# Runs the command blocks of README.md and docs/*.md from the repository
# root, as a reader would after `make e2e`, and checks that each exits with 0
# and that they leave `git status --porcelain` as they found it.
#
# A block fenced as ```sh runs, each in its own `bash -e`, in the order of the
# files and of the blocks in them. A ```sh block right after the line
# <!-- not run: REASON --> is skipped (the reason must be given). Other fences
# (```text, ```cmake, ...) are only shown; a fence without a language is an
# error, so that no block is left unmarked. A ```text block right after a
# block that runs (only blank lines between) is that block's expected
# standard output, compared line for line after normalise_output below,
# unless the line <!-- not output: REASON --> comes before it.
#
# Usage: check_doc_commands.sh REPO_ROOT
# Exit status: 0 all ran, 1 a block failed or the tree changed, 77 skipped
# (started from a block of its own, or no git checkout to compare).
set -u

root=${1:?usage: check_doc_commands.sh REPO_ROOT}
cd "$root" || exit 1

# A block may run ctest, which may start this test again.
if [[ -n ${KIVU_DOC_COMMANDS_RUNNING:-} ]]; then
  echo "check_doc_commands: started from a documented command; skipped"
  exit 77
fi
export KIVU_DOC_COMMANDS_RUNNING=1
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "check_doc_commands: $root is not a git checkout; skipped"
  exit 77
fi

# The blocks run as in a fresh shell of the reader: nothing that a CI job or
# an enclosing ctest left set chooses their boards, faults or shards.
while IFS= read -r name; do
  case $name in
    KIVU_DOC_COMMANDS_RUNNING) ;;
    KIVU_* | CTEST_RESOURCE_* | GTEST_*) unset "$name" ;;
  esac
done < <(compgen -e)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Splits each file into numbered blocks: $scratch/NNN.sh with a header line
# "# FILE:LINE" for the report; skipped and unmarked blocks are listed.
files=(README.md docs/*.md)
awk -v out="$scratch" '
  FNR == 1 { note = ""; inblock = 0; after = 0; notoutput = 0 }
  !inblock && /^```/ {
    lang = substr($0, 4)
    gsub(/[ \t]/, "", lang)
    if (lang == "") { printf "%s:%d: a fence without a language (```sh, ```text, ...)\n", FILENAME, FNR > (out "/unmarked"); }
    inblock = 1
    # A text block right after a block that runs holds its expected output.
    expect = lang == "text" && after > 0 && !notoutput
    if (lang == "text" && after > 0 && notoutput == 2) printf "%s:%d: not output without a reason\n", FILENAME, FNR > (out "/unmarked")
    if (expect) {
      expected = sprintf("%s/%03d.expected", out, after)
      printf "" > expected
    }
    after = 0; notoutput = 0
    if (lang == "sh" && note == "") {
      n++; file = sprintf("%s/%03d.sh", out, n)
      printf "# %s:%d\n", FILENAME, FNR > file
      run = 1
    } else {
      if (lang == "sh") {
        reason = note; sub(/^<!-- not run:[ \t]*/, "", reason); sub(/[ \t]*-->$/, "", reason)
        if (reason == "") printf "%s:%d: not run without a reason\n", FILENAME, FNR > (out "/unmarked")
        else printf "%s:%d: %s\n", FILENAME, FNR, reason > (out "/skipped")
      }
      run = 0
    }
    note = ""
    next
  }
  inblock && /^```[ \t]*$/ {
    inblock = 0
    if (run) { close(file); after = n }
    if (expect) close(expected)
    run = 0; expect = 0
    next
  }
  inblock { if (run) print > file; if (expect) print > expected; next }
  /^<!-- not run:/ { note = $0; next }
  /^<!-- not output:/ { notoutput = $0 ~ /^<!-- not output:[ \t]*[^ \t-]/ ? 1 : 2; next }
  /^[ \t]*$/ { next }
  { note = ""; after = 0; notoutput = 0 }
' "${files[@]}"

status=0
if [[ -s $scratch/unmarked ]]; then
  echo "check_doc_commands: blocks not marked as the convention says:"
  cat "$scratch/unmarked"
  status=1
fi

# Every relative link of those files must name a file that exists and, with
# a #fragment, a heading of it (as the slugs of rendered Markdown: lower
# case, punctuation dropped, spaces as hyphens).
broken=$(perl -e '
  use strict; use File::Basename;
  sub slugs { my ($f) = @_; my %s; local $_; local $.; open(my $h, "<", $f) or return undef; my $in = 0;
    while (<$h>) { $in = !$in if /^```/; next if $in; next unless /^#+\s+(.*?)\s*$/;
      my $t = lc $1; $t =~ s/[^\w\- ]//g; $t =~ s/ /-/g; $s{$t} = 1; } return \%s; }
  for my $md (@ARGV) { open(my $h, "<", $md) or next; my $in = 0;
    while (<$h>) { $in = !$in if /^```/; next if $in; my $n = $.;
      while (/\]\(([^)\s]+)\)/g) { my $l = $1; next if $l =~ m{^[a-z]+:};
        my ($path, $frag) = split /#/, $l, 2; my $target = $path eq "" ? $md : dirname($md) . "/" . $path;
        if (!-e $target) { print "$md:$n: $l: no such file\n"; next; }
        if (defined $frag) { my $s = slugs($target); print "$md:$n: $l: no such heading\n" unless $s && $s->{$frag}; } } } }
' "${files[@]}" crates/*/tests/*/README.md)
if [[ -n $broken ]]; then
  echo "check_doc_commands: broken links:"
  echo "$broken"
  status=1
fi

# The status, and the content of what was already changed before.
before=$(git status --porcelain; git diff --no-ext-diff HEAD | cksum)
# What `make e2e` leaves beyond its build (the suite's run and the profiled
# GEMM run's files in target/debug): its last step, on the build at hand.
echo "=== scripts/e2e.sh target/debug"
if ! scripts/e2e.sh target/debug >"$scratch/e2e.log" 2>&1; then
  cat "$scratch/e2e.log"
  echo "check_doc_commands: scripts/e2e.sh target/debug failed; the docs assume it passed"
  exit 1
fi
# What may differ from run to run, in both the docs' text and what a block
# printed: a duration (a number followed by s or ms) reads "N s", a process
# id after "pid" or "pids" reads "pid N".
normalise_output() {
  sed -E -e 's/\b[0-9]+(\.[0-9]+)? (s|ms)\b/N \2/g' -e 's/\b(pids?) [0-9]+/\1 N/g'
}

ran=0
failed=0
for block in "$scratch"/[0-9]*.sh; do
  [[ -e $block ]] || continue
  where=$(head -n 1 "$block")
  where=${where#\# }
  echo "=== $where"
  start=$SECONDS
  expected=${block%.sh}.expected
  if [[ -e $expected ]]; then
    # Its standard output is kept to be compared, and shown as well.
    bash -e "$block" </dev/null >"${block%.sh}.actual"
    rc=$?
    cat "${block%.sh}.actual"
  else
    bash -e "$block" </dev/null
    rc=$?
  fi
  if [[ $rc -ne 0 ]]; then
    echo "--- FAILED: $where exited with $rc"
    failed=$((failed + 1))
  elif [[ -e $expected ]] && ! diff -u --label "expected (the text block after $where)" --label "printed" \
      <(normalise_output <"$expected") <(normalise_output <"${block%.sh}.actual"); then
    echo "--- FAILED: $where printed other than the text block after it shows"
    failed=$((failed + 1))
  else
    echo "--- ok ($((SECONDS - start)) s)"
  fi
  ran=$((ran + 1))
done
after=$(git status --porcelain; git diff --no-ext-diff HEAD | cksum)

if [[ $before != "$after" ]]; then
  echo "check_doc_commands: the commands changed the checkout (git status --porcelain, and a checksum of git diff):"
  diff <(printf '%s\n' "$before") <(printf '%s\n' "$after")
  status=1
fi
skipped=0
[[ -s $scratch/skipped ]] && skipped=$(wc -l <"$scratch/skipped")
if [[ -s $scratch/skipped ]]; then
  echo "not run, as the docs say:"
  sed 's/^/  /' "$scratch/skipped"
fi
[[ $failed -gt 0 ]] && status=1
echo "$((ran - failed)) passed, $failed failed, $skipped skipped"
exit $status
