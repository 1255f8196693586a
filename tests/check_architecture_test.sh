#!/bin/sh
# scripts/check_architecture.sh fails when it should, with the message that
# says what to fix: on a scratch repository of the tracked files (as they are
# on disk), each case changes one thing and expects the check to fail
# naming it, then puts the tree back.
# Usage: check_architecture_test.sh [SOURCE_DIR]
set -eu
src="$(cd "${1:-$(dirname "$0")/..}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

(cd "$src" && git ls-files) | (cd "$src" && xargs tar -cf -) | (cd "$work" && tar -xf -)
cd "$work"
git init -q .
git add -A

sh scripts/check_architecture.sh >/dev/null 2>&1 || fail "the check fails on the tree as it is"

# expect TEXT: the check fails, and its message contains TEXT.
expect() {
  if sh scripts/check_architecture.sh >"$work/.out" 2>&1; then
    fail "the check passed; expected: $1"
  fi
  grep -qF -- "$1" "$work/.out" || fail "expected \"$1\" in: $(cat "$work/.out")"
}
# The files as the index has them.
restore() {
  git checkout -q -- "$@"
}

# An include the graph does not draw.
printf '#include "sim/clock.h"\n' >>record/flight_record.cpp
expect 'record ──> sim   (record/flight_record.cpp includes "sim/clock.h")'
restore record/flight_record.cpp

# The bridge may include the protocol header, and no other file of out/.
printf '#include "out/output.h"\n' >>bridge/protocol.cpp
expect 'bridge ──> out   (bridge/protocol.cpp includes "out/output.h")'
restore bridge/protocol.cpp

# The program's folders do not include the tests.
printf '#include "tests/support.h"\n' >>core/main.cpp
expect 'core ──> tests   (core/main.cpp includes "tests/support.h")'
restore core/main.cpp

# A drawn arrow no include makes any more.
sed -i '/#include "line\/pin_map.h"/d' board/kernel_board.cpp board/kernel_board.h
expect "draws these arrows the code no longer has:
  board ──> line"
restore board/kernel_board.cpp board/kernel_board.h

# A line of the block that is not in its form, or names no folder.
sed -i 's/^out ──> /out -> /' ARCHITECTURE.md
# shellcheck disable=SC2016 # backquotes of the message, not a command
expect 'is not `FROM ──> TO, ...`: out -> record, protocol'
restore ARCHITECTURE.md
sed -i 's/^line ──> out, record,/line ──> out, recrod,/' ARCHITECTURE.md
expect '"recrod" is not another folder'
restore ARCHITECTURE.md

# A wrapped symbol the map does not name, literal or from the foreach.
sed -i 's/-Wl,--wrap=poll /-Wl,--wrap=poll -Wl,--wrap=nanosleep /' CMakeLists.txt
expect 'the link wraps (--wrap= in CMakeLists.txt): nanosleep'
restore CMakeLists.txt
# shellcheck disable=SC2016 # backquotes of the map, not a command
sed -i 's/`bcm2835_st_read`//' ARCHITECTURE.md
expect 'the link wraps (--wrap= in CMakeLists.txt): bcm2835_st_read'
restore ARCHITECTURE.md

# A tracked folder without its row.
mkdir tools && echo x >tools/x && git add tools/x
expect 'does not describe these folders: tools/'
git rm -q -f tools/x

# A link to a page that is not there.
sed -i 's|(doc/install.md)|(doc/gone.md)|' README.md
expect 'no tracked file: README.md:doc/gone.md'
restore README.md

sh scripts/check_architecture.sh >/dev/null 2>&1 || fail "the check fails on the tree put back"
echo "check_architecture.sh fails on each kind of drift, naming it"
