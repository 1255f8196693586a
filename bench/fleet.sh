#!/bin/sh
# A building's fleet on one broker: ENTRANCES entrances (default 20), each a
# zul_stm_mqtt with zul_stm_sim in real time as its program, on one local
# Mosquitto, and an operator subscribed to zul/+/event. Reports the time
# from an event's stamp in the bridge to the operator (p50, p99; target p99
# <= 10 ms) while every entrance has calls and signal reports, then the CPU
# and RSS of each entrance's bridge and simulator over 30 s of quiet (target
# <= 0.5 % of a core per idle bridge). Targets of this benchmark only; the
# figures depend on the machine's load, which is printed with them.
#   sh bench/fleet.sh [BUILD_DIR [ENTRANCES]]
set -eu
cd "$(dirname "$0")/.."
src="$(pwd)"
dir="${1:-build-bench}"
entrances="${2:-20}"
busy_s=60
idle_s=30
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim zul_fleet_operator >/dev/null
bridge="$src/$dir/bridge/zul_stm_mqtt"
sim="$src/$dir/zul_stm_sim"
operator="$src/$dir/bridge/zul_fleet_operator"
mosquitto="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
work="$(mktemp -d /tmp/zul_fleet_XXXXXX)"
port=$((20000 + $$ % 20000))
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cat >"$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
set_tcp_nodelay true
max_queued_messages 100000
CONF
"$mosquitto" -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
broker=$!
pids="$broker"
sleep 1

# Each entrance: a call to a real handset every 15 s and a signal report
# every 500 ms for $busy_s s, offset from the others; then nothing.
busy_ms=$((busy_s * 1000))
n=1
while [ "$n" -le "$entrances" ]; do
  offset=$((n * 137 % 500))
  awk -v off="$offset" -v busy="$busy_ms" 'BEGIN {
    for (t = 3000 + off; t < busy; t += 500) printf "%d signal 0x21 1 %d\n", t, t % 60000
    for (t = 4000 + off * 7; t < busy; t += 15000)
      printf "%d dial 7\n%d pickup\n%d open\n%d drop\n", t, t + 2000, t + 4000, t + 6000
  }' >"$work/e$n.scn"
  cat >"$work/e$n.toml" <<TOML
[driver]
command = ["$sim", "--scenario", "$work/e$n.scn"]
intercom = 10
working_directory = "$src"
# Each entrance its own flight record, as each Pi has.
record_directory = "$work/e$n.records"
[rooms]
imitate = [5]
[mqtt]
port = $port
topic = "zul/e$n"
[homeassistant]
name = "Entrance $n"
TOML
  n=$((n + 1))
done

"$operator" "$port" $((busy_s + 5)) >"$work/operator.txt" 2>&1 &
operator_pid=$!
sleep 1
n=1
while [ "$n" -le "$entrances" ]; do
  "$bridge" --config "$work/e$n.toml" >"$work/e$n.log" 2>&1 &
  pids="$pids $!"
  echo $! >"$work/e$n.pid"
  n=$((n + 1))
done
echo "$entrances entrances on one broker (port $port); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
wait "$operator_pid" || true
cat "$work/operator.txt"

# Quiet: the scenarios have ended their events.
sleep 5
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
n=1
while [ "$n" -le "$entrances" ]; do
  b=$(cat "$work/e$n.pid")
  s=$(sed -n 's/.*program started (pid \([0-9]*\)).*/\1/p' "$work/e$n.log" | tail -n 1)
  echo "$n $b ${s:-0} $(ticks "$b") $(ticks "${s:-0}")" >>"$work/before"
  n=$((n + 1))
done
t0=$(date +%s.%N)
sleep "$idle_s"
t1=$(date +%s.%N)
while read -r n b s tb ts; do
  echo "$n $(( $(ticks "$b") - tb )) $(( $(ticks "$s") - ts )) $(rss "$b") $(rss "$s")"
done <"$work/before" >"$work/after"
hz=$(getconf CLK_TCK)
awk -v hz="$hz" -v t0="$t0" -v t1="$t1" -v n="$entrances" '
  { bc += $2; sc += $3; if ($2 > bmax) bmax = $2; br += $4; sr += $5; if ($4 > brmax) brmax = $4 }
  END {
    wall = t1 - t0
    printf "idle, over %.0f s (resolution %.3f %% of a core):\n", wall, 100 / hz / wall
    printf "  bridge:    %.3f %% of a core per entrance (max %.3f %%), RSS %.0f KiB (max %d KiB)\n",
      100 * bc / hz / wall / n, 100 * bmax / hz / wall, br / n, brmax
    printf "  simulator: %.3f %% of a core per entrance, RSS %.0f KiB (stands in for zul_stm_driver)\n",
      100 * sc / hz / wall / n, sr / n
  }' "$work/after"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
