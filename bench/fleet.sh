#!/bin/sh
# A building's fleet on one broker: ENTRANCES entrances (default 20), each a
# zul_stm_mqtt with zul_stm_sim as its program, on one local Mosquitto, and
# an operator subscribed to zul/+/event. Reports the time from an event's
# stamp in the bridge to the operator (p50, p99, max; target p99 <= 10 ms)
# while every entrance has calls and signal reports, then the CPU and RSS of
# each entrance's bridge and simulator over 30 s of quiet (target <= 0.5 %
# of a core per idle entrance). Targets of this benchmark only; the figures
# depend on the machine's load, which is printed with them.
#
# The simulator runs --paced: the program's threads run in virtual time
# between the scenario's steps and sleep until the next one, so a quiet
# entrance costs next to nothing, and a thousand fit on two cores; it still
# speaks the program's protocol to the bridge and reports what it prints.
#
# Every entrance's busy minute starts once all have been started and have
# settled (within the time the start took), so that the figures are the
# busy fleet's and not its start. The operator names its slowest event, and the
# machine's TCP retransmissions and delayed acknowledgements over the busy
# minute are printed beside it: a maximum near 200 ms is the kernel's
# minimum retransmission timeout, a lost segment on loopback under load.
#   sh bench/fleet.sh [BUILD_DIR [ENTRANCES]]
# FLEET_BUSY_S (default 60) and FLEET_IDLE_S (30) set the two phases, and
# FLEET_SETTLE_S (15 + 1 per 50 entrances) the time to start them all: on
# a loaded machine a thousand need minutes. FLEET_BROKER=ejabberd-cluster
# puts the entrances on one node of a two-node ejabberd cluster and the
# operator on the other; FLEET_CONNECTIONS sets how many connections the
# operator takes its events over. FLEET_KEEP=1 keeps the work
# folder (every entrance's log, the brokers' logs) for a look afterwards.
set -eu
cd "$(dirname "$0")/.."
src="$(pwd)"
dir="${1:-build-bench}"
entrances="${2:-20}"
busy_s="${FLEET_BUSY_S:-60}"
idle_s="${FLEET_IDLE_S:-30}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim zul_fleet_operator >/dev/null
bridge="$src/$dir/bridge/zul_stm_mqtt"
sim="$src/$dir/zul_stm_sim"
operator="$src/$dir/bridge/zul_fleet_operator"
mosquitto="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
work="$(mktemp -d /tmp/zul_fleet_XXXXXX)"
# A port nobody listens on now.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
pids=""
cleanup_broker() { :; }
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  cleanup_broker
  wait 2>/dev/null || true
  if [ -n "${FLEET_KEEP:-}" ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT INT TERM
now_ms() { date +%s%3N; }

broker_kind="${FLEET_BROKER:-mosquitto}"
connections="${FLEET_CONNECTIONS:-1}"
operator_port="$port"
login=""
if [ "$broker_kind" = ejabberd-cluster ]; then
  # Two ejabberd nodes on this machine, each its own name, MQTT port,
  # configuration, spool and logs, joined into one cluster: the entrances
  # publish to the first, the operator subscribes on the second. ejabberd's
  # MQTT logins always carry a name and a password (anonymous here).
  # ejabberd sends each subscriber one QoS 1 message at a time, the next
  # after its acknowledgement: an operator that takes a thousand entrances'
  # events on one connection waits a round trip for each. Here it spreads
  # them over ten, as an estate's consumer would.
  connections="${FLEET_CONNECTIONS:-10}"
  operator_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  . "$src/bench/ejabberd_cluster.sh"
  cluster_start "$work" "$port" "$operator_port" "zulfleet$$" "auth_method: [anonymous]
anonymous_protocol: login_anon
allow_multiple_connections: true
modules:
  mod_mqtt:
    max_topic_depth: 16"
  echo "ejabberd cluster: $(cluster_ctl a list_cluster | tr '\n' ' ')"
  cleanup_broker() { cluster_stop; }
  broker=$(cat "$work/a/ejabberd.pid")
  printf 'any\n' >"$work/password"
  chmod 600 "$work/password"
  login="username = \"anyone\"\npassword_file = \"$work/password\"\n"
else
  cat >"$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
set_tcp_nodelay true
max_queued_messages 100000
# The operator takes every entrance's events on one connection: with the
# default window of 20 unacknowledged QoS 1 messages, a loaded machine (the
# operator's acknowledgements waiting for a core) makes a queue of tens of
# seconds at a thousand entrances.
max_inflight_messages 0
CONF
  "$mosquitto" -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
  broker=$!
  pids="$broker"
fi
for p in $port $operator_port; do
  until python3 -c "import socket; socket.create_connection(('127.0.0.1', $p), 1)" 2>/dev/null; do
    kill -0 "$broker" || { cat "$work/broker.log"; exit 1; }
    sleep 0.1
  done
done

# Each entrance: a call to a real handset every 15 s and a signal report
# every 500 ms for $busy_s s, offset from the others, from settle_ms after
# its start (room to start them all and for them to settle); then nothing.
# Files are written first, in one go: the launch is then a fork each.
settle_ms=$((${FLEET_SETTLE_S:-$((15 + entrances / 50))} * 1000))
busy_ms=$((busy_s * 1000))
awk -v n="$entrances" -v s="$settle_ms" -v busy="$busy_ms" -v w="$work" -v sim="$sim" \
  -v src="$src" -v port="$port" -v login="$login" 'BEGIN {
  for (e = 1; e <= n; e++) {
    off = e * 137 % 500
    f = w "/e" e ".scn"
    for (t = off; t < busy; t += 500) printf "%d signal 0x21 1 %d\n", s + t, t % 60000 >f
    for (t = 1000 + off * 7; t < busy; t += 15000)
      printf "%d dial 7\n%d pickup\n%d open\n%d drop\n", s + t, s + t + 2000, s + t + 4000, s + t + 6000 >f
    close(f)
    f = w "/e" e ".toml"
    printf "[driver]\ncommand = [\"%s\", \"--paced\", \"--scenario\", \"%s/e%d.scn\"]\n", sim, w, e >f
    printf "intercom = 10\nworking_directory = \"%s\"\n", src >f
    # Each entrance its own flight record, as each Pi has.
    printf "record_directory = \"%s/e%d.records\"\n[rooms]\nimitate = [5]\n", w, e >f
    printf "[mqtt]\nport = %d\ntopic = \"zul/e%d\"\n%s[homeassistant]\nname = \"Entrance %d\"\n", port, e, login, e >f
    close(f)
  }
}'
launch_from=$(now_ms)
n=1
while [ "$n" -le "$entrances" ]; do
  "$bridge" --config "$work/e$n.toml" >"$work/e$n.log" 2>&1 &
  pids="$pids $!"
  echo $! >"$work/e$n.pid"
  n=$((n + 1))
done
launched=$(now_ms)
busy_from=$((launch_from + settle_ms))
busy_to=$((launched + settle_ms + busy_ms))
echo "$entrances entrances on $broker_kind (port $port, operator on $operator_port), started in $(((launched - launch_from) / 1000)) s"
if [ "$launched" -ge $((busy_from - 1000)) ]; then
  echo "  the start took longer than its $((settle_ms / 1000)) s: the first entrances' events are not counted"
fi
"$operator" --connections "$connections" "$entrances" "$operator_port" $(((busy_to - $(now_ms)) / 1000 + 5)) \
  "$busy_from" 127.0.0.1 $([ -n "$login" ] && echo "anyone any") >"$work/operator.txt" 2>&1 &
operator_pid=$!
# The machine's TCP counters: retransmitted segments, retransmission
# timeouts, delayed acknowledgements (all connections of the machine).
tcp() {
  awk '/^Tcp: [0-9]/ { print "RetransSegs", $13 }' /proc/net/snmp
  awk '/^TcpExt:/ { if (!h) { for (i = 2; i <= NF; i++) name[i] = $i; h = 1; next }
    for (i = 2; i <= NF; i++) if (name[i] ~ /^(TCPTimeouts|DelayedACKs|TCPLossProbes)$/) print name[i], $i }' \
    /proc/net/netstat
}
wait_until_ms() { while [ "$(now_ms)" -lt "$1" ]; do sleep 0.2; done; }
wait_until_ms "$busy_from"
tcp >"$work/tcp.before"
echo "busy for $busy_s s; load at its start: $(cut -d' ' -f1-3 /proc/loadavg)"
operator_failed=0
wait "$operator_pid" || operator_failed=1
tcp >"$work/tcp.after"
cat "$work/operator.txt"
echo "load at its end: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
printf "machine's TCP over the busy time:"
paste "$work/tcp.before" "$work/tcp.after" | awk '{ printf " %s %d", $1, $4 - $2 } END { print "" }'

# Quiet: the scenarios have ended their events.
sleep 5
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
# Every entrance's CPU ticks and RSS in one pass, so that all are read at
# about the same moment: "n bridge-ticks sim-ticks bridge-KiB sim-KiB".
snapshot() {
  awk 'function t(p, f, l, a) { f = "/proc/" p "/stat"; if ((getline l < f) <= 0) return 0
      close(f); split(l, a, " "); return a[14] + a[15] }
    function r(p, f, l, a, v) { f = "/proc/" p "/status"; v = 0
      while ((getline l < f) > 0) if (l ~ /^VmRSS:/) { split(l, a, " "); v = a[2] }
      close(f); return v }
    { print $1, t($2), t($3), r($2), r($3) }' "$work/pids"
}
n=1
while [ "$n" -le "$entrances" ]; do
  s=$(sed -n 's/.*program started (pid \([0-9]*\)).*/\1/p' "$work/e$n.log" | tail -n 1)
  echo "$n $(cat "$work/e$n.pid") ${s:-0}"
  n=$((n + 1))
done >"$work/pids"
broker_ticks=$(ticks "$broker")
snapshot >"$work/before"
t0=$(date +%s.%N)
sleep "$idle_s"
snapshot >"$work/later"
t1=$(date +%s.%N)
broker_ticks=$(($(ticks "$broker") - broker_ticks))
paste -d' ' "$work/before" "$work/later" | awk '{ print $1, $7 - $2, $8 - $3, $9, $10 }' >"$work/after"
hz=$(getconf CLK_TCK)
awk -v hz="$hz" -v t0="$t0" -v t1="$t1" -v n="$entrances" -v bt="$broker_ticks" -v brss="$(rss "$broker")" '
  { bc += $2; sc += $3; if ($2 > bmax) bmax = $2; br += $4; sr += $5; if ($4 > brmax) brmax = $4 }
  END {
    wall = t1 - t0
    printf "idle, over %.0f s (resolution %.4f %% of a core per entrance):\n", wall, 100 / hz / wall / n
    printf "  bridge:    %.4f %% of a core per entrance (max %.3f %%), RSS %.0f KiB (max %d KiB)\n",
      100 * bc / hz / wall / n, 100 * bmax / hz / wall, br / n, brmax
    printf "  simulator: %.4f %% of a core per entrance, RSS %.0f KiB (stands in for zul_stm_driver)\n",
      100 * sc / hz / wall / n, sr / n
    printf "  entrance:  %.4f %% of a core (bridge and simulator)\n", 100 * (bc + sc) / hz / wall / n
    printf "  broker:    %.3f %% of a core, RSS %d KiB\n", 100 * bt / hz / wall, brss
  }' "$work/after"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
if [ "$operator_failed" = 1 ]; then
  echo "the operator failed: no event was measured"
  exit 1
fi
