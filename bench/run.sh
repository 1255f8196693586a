#!/bin/sh
# Every performance figure against its floor, in one table: builds Release
# (with the micro-benchmarks) in build-bench, runs bench/hour.sh's identity
# check, then measures (bench/figures.py).
#
#   sh bench/run.sh
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake g++ make libbcm2835-dev libbenchmark-dev python3 binutils time
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_BENCH=ON -DZUL_BUILD_TESTS=OFF \
  > "$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
rm -f "$build.configure.log"
targets="zul_stm_sim zul_stm_driver zul_bench_micro zul_bench_sleeper zul_bench_size_floor"
bridge=""
if cmake --build "$build" --target help | grep -q '\bzul_stm_mqtt\b'; then
  targets="$targets zul_stm_mqtt"
  bridge="--bridge-built"
fi
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets
echo "== bench/hour.sh: two simulated hours, identical"
sh bench/hour.sh "$build"
python3 bench/figures.py "$build" $bridge
