#!/bin/sh
# Builds the program and plays the demo on the simulated shield: the whole
# job in virtual time, with the event stream printed with simulated times.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake g++ make libbcm2835-dev libgtest-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUL_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
mkdir -p demo-out
./build/zul_stm_sim --virtual --lines demo-out/lines.log --pins demo-out/pins.log \
  --frames demo-out/frames.log -- 10 >/dev/null
echo "Event stream (simulated ms, program output line):"
cat demo-out/lines.log
echo "Logs: demo-out/pins.log, demo-out/frames.log, demo-out/lines.log"
