#!/bin/sh
# The tree's C++ as .clang-format lays it out, checked with one pinned
# clang-format: another version lays some lines out differently, and a check
# that moves with the machine's default would fail on a layout nobody changed.
# `sh scripts/check_format.sh -i` formats instead.
set -eu
cd "$(dirname "$0")/.."
format=clang-format-14
if ! command -v "$format" >/dev/null; then
  pinned="$(sh scripts/packages.sh format)"
  if [ -z "$pinned" ]; then
    echo "the layout is checked with clang-format 14 (Debian bookworm), which this release lacks: skipped"
    exit 0
  fi
  sh scripts/deps.sh "$pinned"
fi
files="$(git ls-files '*.cpp' '*.h')"
if [ "${1:-}" = -i ]; then
  # shellcheck disable=SC2086 # a list of file names without spaces
  "$format" -i $files
  exit 0
fi
# shellcheck disable=SC2086
if ! "$format" --dry-run --Werror $files 2>/dev/null; then
  # shellcheck disable=SC2086
  "$format" --dry-run $files 2>&1 | grep 'warning:' | cut -d: -f1 | sort -u >&2
  echo "these files are not laid out as .clang-format says: sh scripts/check_format.sh -i" >&2
  exit 1
fi
echo "every C++ file is laid out as .clang-format says"
