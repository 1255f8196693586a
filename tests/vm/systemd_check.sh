#!/bin/sh
# The checks inside the virtual machine of tests/vm/systemd.sh, run by a unit
# of their own once the service's start job is over (ready or failed). Every
# finding is one console line, "ZULVM ok|FAIL systemd: what", read by the
# host; the machine powers off at the end.
unit=zul-stm-mqtt.service

say() { echo "ZULVM $*"; }
check() {  # description, command...
  what="$1"
  shift
  if "$@"; then say "ok systemd: $what"; else say "FAIL systemd: $what"; fi
}
prop() { systemctl show -P "$1" "$unit"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
# Polls a state every 0.2 s, up to SECONDS.
wait_until() {  # seconds, command...
  n=$(($1 * 5))
  shift
  until "$@"; do
    n=$((n - 1))
    [ "$n" -gt 0 ] || return 1
    sleep 0.2
  done
}
running() { [ "$(prop ActiveState)/$(prop SubState)" = active/running ]; }
user_of() {  # pid: the user of its real uid
  getent passwd "$(awk '/^Uid:/ { print $2 }' "/proc/$1/status")" | cut -d: -f1
}
same() { [ "$1" = "$2" ]; }
contains() { case "$1" in *"$2"*) return 0 ;; esac; return 1; }

# Whatever happens, the machine powers off at the end (the host reads then).
trap 'say "finished $(uptime_s)"; systemctl poweroff --force --force' EXIT

say "boot $(uptime_s)"

# 1. READY: Type=notify keeps the unit "activating" until READY=1.
wait_until 120 running
check "READY: $(prop Type) unit $(prop ActiveState)/$(prop SubState)" running
start_us="$(prop ExecMainStartTimestampMonotonic)"
ready_us="$(prop ActiveEnterTimestampMonotonic)"
say "figure ready-after-ms $(((ready_us - start_us) / 1000))"

# 2. Its own user: every process of the unit (the bridge and the program).
main="$(prop MainPID)"
users=""
for pid in $(cat "/sys/fs/cgroup$(prop ControlGroup)/cgroup.procs"); do
  users="$users $(tr '\0' ' ' <"/proc/$pid/cmdline" | cut -d' ' -f1 | xargs basename):$(user_of "$pid")"
done
check "runs as its own user: MainPID $main as $(user_of "$main") (groups: $(id -nG "$(user_of "$main")")); all:$users" \
  same "$(user_of "$main")" zul-stm
check "no process of the unit runs as root:$users" sh -c "! echo '$users' | grep -q ':root'"
check "the program runs under the bridge:$users" contains "$users" zul_stm_driver:zul-stm

# 3. STATUS= in systemctl status, once the program has come up.
status_has_running() { contains "$(prop StatusText)" "program running"; }
wait_until 60 status_has_running
shown="$(systemctl status "$unit" --no-pager -l 2>&1 | grep 'Status: ' | sed 's/^ *//')"
check "systemctl status shows the program's state: $shown" \
  sh -c "echo '$shown' | grep -q 'Status: \"program running; 0 restarts; .*broker connected\"'"

# The board's idle state while the service runs.
/usr/local/bin/zul_vm_check line running

# 4. The watchdog: a bridge held with SIGSTOP is killed and started again.
restarts="$(prop NRestarts)"
watchdog="$(prop WatchdogUSec)"
stopped_at="$(uptime_s)"
kill -STOP "$main"
replaced() { new="$(prop MainPID)" && [ "$new" != 0 ] && [ "$new" != "$main" ] && running; }
wait_until 90 replaced
back_at="$(uptime_s)"
check "the watchdog ($watchdog) replaced the stopped bridge $main with $(prop MainPID), active/running again after $(echo "$back_at $stopped_at" | awk '{printf "%.1f", $1 - $2}') s" \
  replaced
check "NRestarts $restarts -> $(prop NRestarts)" same "$(prop NRestarts)" "$((restarts + 1))"
check "the stopped bridge is gone" test ! -d "/proc/$main"
line="$(journalctl -b -u "$unit" --no-pager -o cat | grep -m 1 'Watchdog timeout')"
check "the journal: $line" contains "$line" "Watchdog timeout"
line="$(journalctl -b -u "$unit" --no-pager -o cat | grep -m 1 "Killing process $main .*SIGABRT")"
check "the journal: $line" contains "$line" SIGABRT
wait_until 60 status_has_running
check "STATUS after the restart: $(prop StatusText)" status_has_running

# 5. systemctl stop hands the line back idle.
systemctl stop "$unit"
check "systemctl stop: $(prop ActiveState), result $(prop Result)" same "$(prop ActiveState)/$(prop Result)" inactive/success
/usr/local/bin/zul_vm_check line stopped

journalctl -b -u "$unit" -u zul-vm-board.service --no-pager -o short-monotonic | tail -n 60 |
  sed 's/^/ZULVM journal: /'
