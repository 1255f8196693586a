#!/bin/sh
# Figures of zul_stm_mqtt on this machine: event line to MQTT publish (p50,
# p99; the target is p99 <= 5 ms), and CPU (<= 0.5 % of a core) and RSS
# (<= 8 MiB) of the bridge while the line is idle. Builds a Release tree in
# build-bench (or uses the one named), starts its own Mosquitto broker on a
# loopback port and stops it afterwards.
#   sh bench/bridge.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim zul_bridge_bench >/dev/null
mosquitto="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
"$dir/bridge/zul_bridge_bench" "$dir/bridge/zul_stm_mqtt" "$(pwd)/$dir/zul_stm_sim" "$mosquitto" 2000
