#!/bin/sh
# ARCHITECTURE.md is the code map: every top-level folder of the repository
# must have its row there (as `name/`), so that a new folder cannot go
# unmentioned. The folders are those git tracks: what a build or the demo
# leaves on disk (build-*, demo-out/, dist/) is not the repository's.
set -eu
cd "$(dirname "$0")/.."
missing=""
for name in $(git ls-files | sed -n 's|^\([^.][^/]*\)/.*|\1|p' | sort -u); do
  grep -q "\`$name/\`" ARCHITECTURE.md || missing="$missing $name/"
done
if [ -n "$missing" ]; then
  echo "ARCHITECTURE.md does not describe these folders:$missing" >&2
  exit 1
fi
echo "ARCHITECTURE.md describes every folder"
