#!/bin/sh
# ARCHITECTURE.md is the code map: every top-level folder of the repository
# must have its row there (as `name/`), so that a new folder cannot go
# unmentioned. Build directories (build*) are not the repository's.
set -eu
cd "$(dirname "$0")/.."
missing=""
for dir in */; do
  name="${dir%/}"
  case "$name" in
    build*) continue ;;
  esac
  grep -q "\`$name/\`" ARCHITECTURE.md || missing="$missing $name/"
done
if [ -n "$missing" ]; then
  echo "ARCHITECTURE.md does not describe these folders:$missing" >&2
  exit 1
fi
echo "ARCHITECTURE.md describes every folder"
