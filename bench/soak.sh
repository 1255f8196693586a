#!/bin/sh
# The chaos soak: one entrance (zul_stm_mqtt with zul_stm_sim in real time)
# on its own Mosquitto with a user per household, a subscriber standing in
# for Home Assistant, commands from the operator and the households, and
# faults at seeded random times until SECONDS have passed (default 7200):
# the program and the bridge killed, the broker killed or stopped with and
# without its store, away for OUTAGE seconds (default 180), the record
# directory full (a tmpfs: run as root), malformed and oversized payloads,
# and the bridge's wall clock stepped (libfaketime, Debian's faketime
# package; skipped without it). Prints the counts as a table and exits 1
# when one is wrong. The tests run a one-minute version (ctest -L soak).
#   sh bench/soak.sh [BUILD_DIR [SECONDS [SEED [OUTAGE [SPEED]]]]]
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim zul_soak >/dev/null
mosquitto="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$dir/bridge/zul_soak" "$dir/bridge/zul_stm_mqtt" "$(pwd)/$dir/zul_stm_sim" "$mosquitto" \
  "${2:-7200}" "${3:-1}" "${4:-180}" "${5:-1}"
