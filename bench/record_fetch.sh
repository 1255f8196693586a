#!/bin/sh
# Event line to subscriber (p50, p99, max) of zul_stm_mqtt with no fetch and
# while full flight records (~13 MB of text) are fetched over MQTT one after
# another. Builds a Release tree in build-bench (or uses the one named),
# starts its own Mosquitto broker on a loopback port and stops it afterwards.
#   sh bench/record_fetch.sh [BUILD_DIR] [SAMPLES]
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim zul_record_fetch_bench >/dev/null
mosquitto="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
"$dir/bridge/zul_record_fetch_bench" "$dir/bridge/zul_stm_mqtt" "$(pwd)/$dir/zul_stm_sim" \
  "$mosquitto" "${2:-2000}"
