#!/bin/sh
# Benchmark: sixty calls over one simulated hour in virtual time, scripted
# answers included, run twice. Reports the wall time of each run, checks that
# both runs wrote identical output and logs, and that every VIZIT open_call
# spans exactly 3530 ms on the pins.
#
#   sh bench/hour.sh [BUILD_DIR]     (default: build)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"
sim="$build/zul_stm_sim"
[ -x "$sim" ] || { echo "no $sim; run scripts/demo.sh first" >&2; exit 1; }
out="$(mktemp -d)"
python3 bench/hour_scenario.py > "$out/hour.scn"

for run in 1 2; do
  start=$(date +%s.%N)
  "$sim" --virtual --scenario "$out/hour.scn" --pins "$out/pins$run" --frames "$out/frames$run" \
    --vcd "$out/vcd$run" --lines "$out/lines$run" -- 10 > "$out/out$run"
  end=$(date +%s.%N)
  echo "run $run: $(python3 -c "print(round($end - $start, 2))") s of wall time for one simulated hour"
done
for log in out pins frames vcd lines; do
  cmp -s "$out/${log}1" "$out/${log}2" || { echo "runs differ in $log" >&2; exit 1; }
done
echo "both runs identical: output, pins, frames, vcd, lines"
python3 bench/check_open_call.py "$out/pins1" "$out/lines1"
rm -rf "$out"
