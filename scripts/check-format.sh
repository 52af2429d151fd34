#!/bin/sh
# Checks that every C++ file of the workspace is laid out as .clang-format
# says, with Debian's clang-format; lists the files that are not and fails.
#
#   scripts/check-format.sh          check
#   scripts/check-format.sh --fix    rewrite the files in place instead
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh format
files=$(git ls-files '*.cpp' '*.hpp' '*.h')

if [ "${1:-}" = "--fix" ]; then
  # shellcheck disable=SC2086
  clang-format -i $files
  exit 0
fi
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "format: $(echo "$files" | wc -l) files as .clang-format says"
