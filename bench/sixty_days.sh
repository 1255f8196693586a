#!/bin/sh
# Sixty simulated days of calls in virtual time, past 2^32 ms, where a
# 32-bit millisecond counter would wrap: every call still answered, the
# flight record's times in order, memory flat (bench/sixty_days.py).
# Builds a Release tree in build-bench (or uses the one named).
#   sh bench/sixty_days.sh [BUILD_DIR [DAYS]]
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_sim >/dev/null
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
python3 bench/sixty_days.py "$dir/zul_stm_sim" "${2:-60}"
