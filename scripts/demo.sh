#!/bin/sh
# Builds the program and plays the demo on the simulated shield: the whole
# job in virtual time, with the event stream printed with simulated times.
set -eu
cd "$(dirname "$0")/.."
# shellcheck disable=SC2046 # a list of words
sh scripts/deps.sh $(sh scripts/packages.sh build)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUL_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
mkdir -p demo-out
# No scenario given: the simulator plays its built-in demo, in virtual time.
./build/zul_stm_sim --virtual --lines demo-out/lines.log --pins demo-out/pins.log \
  --frames demo-out/frames.log --vcd demo-out/pins.vcd --svg demo-out/timing.svg \
  -- 10 >/dev/null
echo "Event stream of the demo (simulated ms, then the program's line):"
cat demo-out/lines.log
echo
echo "Pins as a Value Change Dump (GTKWave, PulseView): demo-out/pins.vcd"
echo "Timing picture of the pins with the events:        demo-out/timing.svg"
echo "Logs: demo-out/pins.log, demo-out/frames.log, demo-out/lines.log"
