#!/bin/sh
# The doorbell page's figure: "dial" on the program's output to the ringing
# on a household's page in Debian's Chromium, through a real broker with
# WebSockets (p50, p99; the target is p99 <= 200 ms). Builds the bridge and
# the simulator in the build tree named (default build-debug), installs the
# page's npm packages from their lock file and builds the page.
#   sh bench/web.sh [BUILD_DIR [CALLS]]
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build-debug}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim >/dev/null
[ -d web/node_modules ] || (cd web && npm ci --no-audit --no-fund >/dev/null)
(cd web && npm run --silent build >/dev/null)
ZUL_BUILD_DIR="$dir" node bench/web_ring.mjs "${2:-100}"
