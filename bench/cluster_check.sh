#!/bin/sh
# An estate on a two-node ejabberd cluster (bench/ejabberd_cluster.sh), with
# users and access rules as doc/mqtt.md gives them: ENTRANCES entrances
# (default 4), each a zul_stm_mqtt with the paced zul_stm_sim as its program
# and both nodes in mqtt.hosts, node a first; the operator and a household
# of each entrance's room 5 on node b. Checks, each printed as ok or FAIL:
#   - every entrance connects to node a, and the operator on node b gets the
#     events of every one;
#   - a household on node b gets its own room's calls from node a, and is
#     refused every other room's topics, its entrance's own and another
#     entrance's; a command it sends to another room reaches no bridge;
#   - node a stops: every entrance reconnects to node b, the retained
#     availability there and the operator's last word say online for every
#     one, and events, the
#     households' calls and commands flow again.
# Ends with a line "N passed, M failed", and exits 1 on a failure.
#   sh bench/cluster_check.sh [BUILD_DIR [ENTRANCES]]
set -eu
cd "$(dirname "$0")/.."
src="$(pwd)"
dir="${1:-build-debug}"
entrances="${2:-4}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target zul_stm_mqtt zul_stm_sim >/dev/null
bridge="$src/$dir/bridge/zul_stm_mqtt"
sim="$src/$dir/zul_stm_sim"
work="$(mktemp -d /tmp/zul_cluster_XXXXXX)"
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port_a=$(free_port)
port_b=$(free_port)
pids=""
. "$src/bench/ejabberd_cluster.sh"
cluster_work="$work"
cluster_prefix="zulcheck$$"
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  cluster_stop
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
passed=0
failed=0
check() {  # what, then a command that holds when it is so
  what="$1"
  shift
  if "$@"; then
    echo "ok    $what"
    passed=$((passed + 1))
  else
    echo "FAIL  $what"
    failed=$((failed + 1))
  fi
}
# Until a command holds, looking every 0.2 s; false after $1 seconds.
within() {
  until_s=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$until_s" ] || return 1
    sleep 0.2
  done
}

# The building's rules of doc/mqtt.md, for every entrance: the bridge writes
# zul/#, the operator reads it and writes the commands, each household reads
# and commands its own room. With ejabberd any rule whose filter matches
# lets its users in.
acl="acl:
  bridge: {user: \"bridge@localhost\"}
  operator: {user: \"operator@localhost\"}"
rules="access_rules:
  bridge_only: [{allow: bridge}]
  bridge_operator: [{allow: bridge}, {allow: operator}]"
subscribe="    access_subscribe:
      \"zul/#\": bridge_operator
      \"homeassistant/#\": bridge_operator"
publish="    access_publish:
      \"zul/#\": bridge_only
      \"homeassistant/#\": bridge_only
      \"homeassistant/status\": bridge_operator
      \"zul/+/command\": bridge_operator
      \"zul/+/answer/+/set\": bridge_operator
      \"zul/+/record/get\": bridge_operator"
n=1
while [ "$n" -le "$entrances" ]; do
  acl="$acl
  e${n}room5: {user: \"e${n}room5@localhost\"}"
  rules="$rules
  e${n}room5_rule: [{allow: bridge}, {allow: e${n}room5}]"
  subscribe="$subscribe
      \"zul/e$n/room/5/#\": e${n}room5_rule"
  publish="$publish
      \"zul/e$n/room/5/command\": e${n}room5_rule"
  n=$((n + 1))
done
started=$(date +%s)
cluster_start "$work" "$port_a" "$port_b" "$cluster_prefix" "auth_method: [internal]
$acl
$rules
modules:
  mod_mqtt:
    max_topic_depth: 16
$subscribe
$publish"
for p in $port_a $port_b; do
  within 60 python3 -c "import socket; socket.create_connection(('127.0.0.1', $p), 1)" 2>/dev/null
done
# Users are the cluster's: registered on one node, known on both.
register() { cluster_ctl a register "$1" localhost "$1-secret" >/dev/null; }
register bridge
register operator
printf 'bridge-secret\n' >"$work/password"
chmod 600 "$work/password"
echo "cluster: $(cluster_ctl b list_cluster | tr '\n' ' ')(node a on $port_a, node b on $port_b), up in $(($(date +%s) - started)) s"

# Each entrance: a call to room 5 every 6 s for two minutes.
n=1
while [ "$n" -le "$entrances" ]; do
  register "e${n}room5"
  awk -v off=$((n * 300)) 'BEGIN { for (t = 2000 + off; t < 120000; t += 6000)
    printf "%d dial 5\n%d drop\n", t, t + 3000; print "130000 end" }' >"$work/e$n.scn"
  cat >"$work/e$n.toml" <<TOML
[driver]
command = ["$sim", "--paced", "--scenario", "$work/e$n.scn"]
intercom = 10
working_directory = "$src"
record_directory = "$work/e$n.records"
[rooms]
imitate = [5]
[mqtt]
hosts = ["127.0.0.1:$port_a", "127.0.0.1:$port_b"]
topic = "zul/e$n"
username = "bridge"
password_file = "$work/password"
keepalive = 10
[homeassistant]
name = "Entrance $n"
TOML
  n=$((n + 1))
done
sub() {  # port, user, output file, then mosquitto_sub's own arguments
  p=$1
  u=$2
  out=$3
  shift 3
  mosquitto_sub -h 127.0.0.1 -p "$p" -u "$u" -P "$u-secret" -q 1 -v "$@" >"$out" 2>&1 &
  pids="$pids $!"
}
sub "$port_b" operator "$work/operator.txt" -i operator -t 'zul/#'
sub "$port_b" e1room5 "$work/household.txt" -i e1room5 -t 'zul/e1/room/5/#'
# Subscribed once its own marker comes back.
marked() {
  mosquitto_pub -h 127.0.0.1 -p "$port_b" -u operator -P operator-secret -t zul/e1/command -m marker
  grep -q 'zul/e1/command marker' "$work/operator.txt"
}
within 20 marked || {
  cat "$work/operator.txt"
  exit 1
}
n=1
while [ "$n" -le "$entrances" ]; do
  "$bridge" --config "$work/e$n.toml" >"$work/e$n.log" 2>&1 &
  pids="$pids $!"
  n=$((n + 1))
done

all() {  # a command taking an entrance's number holds for every entrance
  k=1
  while [ "$k" -le "$entrances" ]; do
    "$@" "$k" || return 1
    k=$((k + 1))
  done
}
on_node() { grep -q "connected to the broker 127.0.0.1:$1;" "$work/e$2.log"; }
events_after() { tail -n +"$1" "$work/operator.txt" | grep -q "^zul/e$2/event .*\"dial\""; }
last_said_online() { [ "$(grep "^zul/e$1/status " "$work/operator.txt" | tail -n 1)" = "zul/e$1/status online" ]; }
online_on_b() { grep -q "^zul/e$1/status online" "$work/retained.txt"; }

check "every entrance connects to node a" within 30 all on_node "$port_a"
check "the operator on node b gets every entrance's events from node a" within 30 all events_after 1
check "a household on node b gets its room's calls from node a" \
  within 20 grep -q '^zul/e1/room/5/call .*"ringing"' "$work/household.txt"
refused() {  # a filter e1's household may not read
  out=$(mosquitto_sub -h 127.0.0.1 -p "$port_b" -u e1room5 -P e1room5-secret -q 1 -v -W 8 -t "$1" 2>&1 || true)
  case "$out" in *denied*) return 0 ;; *) echo "  $1: $out" | head -n 3; return 1 ;; esac
}
check "a household is refused its entrance's other room" refused 'zul/e1/room/6/#'
check "a household is refused the entrance's events" refused 'zul/e1/event'
check "a household is refused everything" refused 'zul/#'
if [ "$entrances" -ge 2 ]; then
  check "a household is refused another entrance's room" refused 'zul/e2/room/5/#'
fi
# Its own command is answered; one to another entrance's room never reaches
# a bridge (that bridge would answer it, with no call to refuse it for).
e1pub() {
  mosquitto_pub -h 127.0.0.1 -p "$port_b" -u e1room5 -P e1room5-secret -q 1 -t "$1" -m '{"action":"hangup","id":"from-e1"}' 2>/dev/null || true
}
e1pub zul/e2/room/5/command
e1pub zul/e1/command
e1pub zul/e1/room/5/command
check "a household's own command is answered" \
  within 20 grep -q '^zul/e1/room/5/command/result .*from-e1' "$work/household.txt"
foreign() { ! grep -q -e '^zul/e2/room/5/command/result .*from-e1' -e '^zul/e1/command/result .*from-e1' "$work/operator.txt"; }
check "a household's commands to others reach no bridge" foreign

before=$(($(wc -l <"$work/operator.txt") + 1))
household_before=$(($(wc -l <"$work/household.txt") + 1))
stopped_at=$(date +%s)
cluster_ctl a stop >/dev/null
cluster_ctl a stopped >/dev/null 2>&1 || true
check "every entrance reconnects to node b" within 60 all on_node "$port_b"
echo "  node a stopped: every entrance on node b within $(($(date +%s) - stopped_at)) s"
retained_online() {
  mosquitto_sub -h 127.0.0.1 -p "$port_b" -u operator -P operator-secret -v -W 3 \
    -t 'zul/+/status' >"$work/retained.txt" 2>&1 || true
  all online_on_b
}
check "the retained availability on node b says online for every entrance" \
  within 30 retained_online
check "events flow again from every entrance, through node b" within 30 all events_after "$before"
# A will node a sent as it stopped would come before the entrance is back.
check "the operator's last word on every entrance is online" all last_said_online
check "the household gets its room's calls again" \
  within 30 sh -c "tail -n +$household_before '$work/household.txt' | grep -q '^zul/e1/room/5/call .*\"ringing\"'"
mosquitto_pub -h 127.0.0.1 -p "$port_b" -u operator -P operator-secret -q 1 -t zul/e1/command \
  -m '{"action":"hangup","id":"after-failover"}'
check "the operator's commands are answered again" \
  within 20 grep -q '^zul/e1/command/result .*after-failover' "$work/operator.txt"
if [ "$failed" -gt 0 ]; then
  for f in "$work"/e1.log "$work"/operator.txt "$work"/household.txt; do
    echo "--- $f"
    tail -n 30 "$f"
  done
fi
echo "the cluster check, $entrances entrances:"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
