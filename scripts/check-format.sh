#!/bin/sh
# Checks that every C++ file of the workspace is laid out as .clang-format
# says, with Debian's clang-format; lists the files that are not and fails.
#
#   scripts/check-format.sh          check
#   scripts/check-format.sh --fix    rewrite the files in place instead
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh format
# The tracked files in a checkout; every C++ file of the sources elsewhere.
files=$(git ls-files '*.cpp' '*.hpp' '*.h' 2>/dev/null) ||
  files=$(find crates bench fuzz -name '*.cpp' -o -name '*.hpp' -o -name '*.h')

if [ "${1:-}" = "--fix" ]; then
  # shellcheck disable=SC2086
  clang-format -i $files
  exit 0
fi
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "format: $(echo "$files" | wc -l) files as .clang-format says"
