#!/bin/sh
# The package's service under a real systemd: a root of Debian trixie arm64
# boots with systemd as its init on Debian's arm64 kernel under
# qemu-system-aarch64 (TCG), with the board of tests/vm/run.sh (gpio-sim as
# the Pi 5's header chip, the fake SPI controller, the co-processor served by
# zul_vm_check), a mosquitto broker, and zul-stm-driver installed by apt from
# a signed repository (scripts/apt_repo.sh), as on the first boot of a Pi.
# In one boot (systemd_check.sh): the unit runs as its own user, reports
# READY, shows the program's state in `systemctl status`, is killed and
# started again by the watchdog when the bridge is held with SIGSTOP, and
# `systemctl stop` leaves the line idle.
#
#   sh tests/vm/systemd.sh [BUILD_DIR]
#     BUILD_DIR: the arm64 build (default build-arm64) with its package
#       (cpack) and tests/vm/run.sh's trixie kernel and modules (made here
#       by a run of it where they are missing)
#
# The root holds systemd, mosquitto and the package's dependencies; it is
# made once with mmdebstrap (foreign programs through qemu-user-static and
# binfmt_misc) and kept in ${XDG_CACHE_HOME:-~/.cache}/zul-stm-driver/vm-systemd
# by a hash of what it holds and the sources. Each run unpacks it, installs
# the package, adds the test's units and boots it as an initramfs.
#
# Exits 0 when every check passed; 1 with the failed checks otherwise.
# Skipped on an ARM machine, and without root (mmdebstrap, chroot).
set -eu
case "$(uname -m)" in
  aarch64 | arm*)
    echo "vm-systemd: skipped on this ARM machine, where the native tests run instead"
    exit 0
    ;;
esac
[ "$(id -u)" -eq 0 ] || {
  echo "vm-systemd: needs root (mmdebstrap, chroot); skipped"
  exit 0
}

fail() {
  echo "vm-systemd: $*" >&2
  exit 1
}

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
[ -d "${1:-$repo/build-arm64}" ] || fail "no build directory ${1:-$repo/build-arm64}: cross build first (cmake --preset arm64 && cmake --build --preset arm64)"
build="$(cd "${1:-$repo/build-arm64}" && pwd)"
work="$build/vm/systemd"
started="$(date +%s.%N)"
elapsed() { echo "$(date +%s.%N) $started" | awk '{printf "%.1f", $1 - $2}'; }

set -- "$build"/zul-stm-driver_*_arm64.deb
[ -f "$1" ] || fail "no $build/zul-stm-driver_*_arm64.deb: make it first (cd $build && cpack)"
deb="$1"
sh "$repo/scripts/deps.sh" qemu-system-arm qemu-user-static mmdebstrap cpio apt-utils gnupg python3 systemd

# ---- The kernel, the modules and the checker: tests/vm/run.sh's for trixie ----
trixie="$build/vm/trixie"
check="$build/vm/zul_vm_check"
kernel_ready() {
  [ -f "$trixie/cache/current" ] || return 1
  current="$(cat "$trixie/cache/current")"
  abi="${current%%_*}"
  vmlinuz="$trixie/cache/$current/root/boot/vmlinuz-$abi-arm64"
  mods="$trixie/modules-$current"
  [ -f "$vmlinuz" ] && [ -f "$mods/gpio_sim_vm.ko" ] && [ -f "$mods/zul_spi_peer.ko" ] && [ -x "$check" ] &&
    [ -z "$(find "$here/zul_vm_check.cpp" "$repo/sim/coproc.cpp" "$repo/sim/coproc.h" -newer "$check")" ]
}
if ! kernel_ready; then
  echo "vm-systemd: trixie's kernel, modules or checker missing or older than their sources: tests/vm/run.sh first"
  sh "$here/run.sh" "$build" trixie
  kernel_ready || fail "tests/vm/run.sh left no trixie kernel, modules and checker in $trixie"
fi
configfs="$(find "$trixie/cache/$current/root" -path '*/modules/*' -name configfs.ko | head -n 1)"
[ -n "$configfs" ] || fail "no configfs.ko in $trixie/cache/$current"

# ---- Foreign programs (mmdebstrap's and apt's in the root) through qemu-user-static ----
# Registered as its package's binfmt.d file says, with the interpreter opened
# at registration (flag F), so that it works inside a chroot.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register

# ---- The base root: systemd, mosquitto and the package's dependencies ----
# Their names from the package itself (versions and alternatives left to
# trixie's own), kmod for the boot's module loading. The test's apt installs
# the package alone from the repository.
depends="$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/ //g')"
# shellcheck disable=SC2046 # a list of words
wanted="$(printf '%s\n' systemd systemd-sysv mosquitto kmod $(echo "$depends" | tr ',' ' ') | sort -u | paste -sd, -)"
sources="$(ZUL_APT_PRINT_SOURCES=yes sh "$repo/scripts/target_apt.sh" trixie arm64)"
mirror="$(echo "$sources" | sed -n '2s/^URIs: //p')"
security="$(echo "$sources" | sed -n 's/^URIs: //p' | sed -n 2p)"
# What a base holds changes with this script: its layout's number is part of the key.
layout=1
key="$(printf '%s\n%s\n%s\n' "$layout" "$wanted" "$sources" | sha256sum | cut -c1-12)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/zul-stm-driver/vm-systemd"
base="$cache/trixie-arm64-$key.tar"
mkdir -p "$cache" "$work"
if [ ! -f "$base" ]; then
  echo "vm-systemd: making a trixie arm64 root with $wanted (once; kept in $cache)"
  # Manuals, documentation and translations left out: nobody reads them there.
  nice mmdebstrap --quiet --mode=root --variant=apt --architectures=arm64 --format=tar \
    --include="$wanted" \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    trixie "$base.new" "deb $mirror trixie main" "deb $mirror trixie-updates main" \
    "deb $security trixie-security main" >"$work/mmdebstrap.log" 2>&1 || {
    tail -n 20 "$work/mmdebstrap.log" >&2
    fail "mmdebstrap could not make the trixie arm64 root (log: $work/mmdebstrap.log)"
  }
  mv "$base.new" "$base"
  echo "vm-systemd: root made after $(elapsed) s"
fi

# ---- This run's root: the package from a signed repository ----
# shellcheck source=tests/http_server.sh
. "$repo/tests/http_server.sh"
root="$work/root"
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$work/gnupg"' EXIT
rm -rf "$root" "$work/www" "$work/gnupg"
mkdir -p "$root"
tar -C "$root" -xf "$base"
# Debian's own sources left out: everything but the package is in the base.
rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
export GNUPGHOME="$work/gnupg"
mkdir -m 700 "$GNUPGHOME"
gpg --batch -q --passphrase '' --quick-gen-key 'zul-stm-driver test repository' rsa3072 sign never 2>/dev/null
ZUL_REPO_KEY='zul-stm-driver test repository' sh "$repo/scripts/apt_repo.sh" "$work/www" "$deb" >/dev/null
serve_directory "$work/www" "$work/http.log"
mkdir -p "$root/etc/apt/keyrings"
cp "$work/www/zul-stm-driver.gpg" "$root/etc/apt/keyrings/"
echo "deb [signed-by=/etc/apt/keyrings/zul-stm-driver.gpg] http://127.0.0.1:$port trixie main" \
  >"$root/etc/apt/sources.list.d/zul-stm-driver.list"
mount -t proc proc "$root/proc"
chroot "$root" sh -c 'apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q install -y zul-stm-driver' \
  >"$work/install.log" 2>&1 || {
  tail -n 20 "$work/install.log" >&2
  fail "apt could not install the package from the signed repository (log: $work/install.log)"
}
umount "$root/proc"
kill "$server" 2>/dev/null
server=""
echo "vm-systemd: $(chroot "$root" dpkg-query -W zul-stm-driver) installed from the signed repository after $(elapsed) s"

# ---- The test's own pieces ----
# The modules where the boot's systemd-modules-load finds them.
kver="$abi-arm64"
mkdir -p "$root/usr/lib/modules/$kver/extra" "$root/usr/lib/modules/$kver/kernel/fs/configfs"
cp "$mods/gpio_sim_vm.ko" "$mods/zul_spi_peer.ko" "$root/usr/lib/modules/$kver/extra/"
cp "$configfs" "$root/usr/lib/modules/$kver/kernel/fs/configfs/"
# The kernel's lists of its modules are not needed: empty ones keep depmod quiet.
for list in modules.order modules.builtin modules.builtin.modinfo; do
  : >"$root/usr/lib/modules/$kver/$list"
done
chroot "$root" depmod "$kver"
printf 'configfs\ngpio_sim_vm\nzul_spi_peer\n' >"$root/etc/modules-load.d/zul-vm.conf"
cp "$check" "$root/usr/local/bin/zul_vm_check"
mkdir -p "$root/usr/local/lib/zul-vm"
cp "$here/systemd_check.sh" "$root/usr/local/lib/zul-vm/check.sh"
chmod 755 "$root/usr/local/lib/zul-vm/check.sh"
units="$root/etc/systemd/system"
# The board stands there before the service starts, as a Pi's does.
cat >"$units/zul-vm-board.service" <<'UNIT'
[Unit]
Description=The test's board: gpio-sim chip and the co-processor behind the fake SPI controller
After=systemd-modules-load.service sys-kernel-config.mount systemd-sysusers.service
Requires=sys-kernel-config.mount
Before=zul-stm-mqtt.service

[Service]
Type=forking
ExecStart=/usr/local/bin/zul_vm_check serve 26
UNIT
cat >"$units/zul-vm-check.service" <<'UNIT'
[Unit]
Description=The test's checks of zul-stm-mqtt.service
After=zul-stm-mqtt.service mosquitto.service

[Service]
Type=exec
ExecStart=/usr/local/lib/zul-vm/check.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyAMA0

[Install]
WantedBy=multi-user.target
UNIT
mkdir -p "$units/zul-stm-mqtt.service.d"
# The watchdog's 60 s shortened for the test, so that the wait for it costs
# seconds of the machine's budget rather than a minute: what is checked is
# that systemd acts on the missing pings, not the interval.
cat >"$units/zul-stm-mqtt.service.d/vm-test.conf" <<'UNIT'
[Unit]
Wants=zul-vm-board.service
After=zul-vm-board.service

[Service]
WatchdogSec=5
UNIT
[ -L "$units/zul-stm-mqtt.service.d/kernel.conf" ] ||
  fail "the package's postinst did not switch the service to the kernel's devices (no zul-stm-mqtt.service.d/kernel.conf)"
# Enabled as an installer would; the checks' unit too. The console belongs
# to the checks: no login prompt there.
systemctl --root="$root" enable zul-stm-mqtt.service zul-vm-check.service >/dev/null 2>&1
systemctl --root="$root" mask serial-getty@ttyAMA0.service getty@tty1.service >/dev/null 2>&1
# A machine id, so that this is not systemd's "first boot" (no questions on the console).
tr -dc 0-9a-f </dev/urandom | head -c 32 >"$root/etc/machine-id"
echo >>"$root/etc/machine-id"
echo zul-vm >"$root/etc/hostname"

initrd="$work/root.cpio"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$initrd"
rm -rf "$root"
echo "vm-systemd: root packed ($(du -m "$initrd" | cut -f1) MB) after $(elapsed) s"

# ---- The boot ----
console="$work/console.log"
echo "vm-systemd: booting the trixie root with systemd on $abi under qemu-system-aarch64 (TCG) after $(elapsed) s"
vm_started="$(date +%s.%N)"
status=0
timeout 400 qemu-system-aarch64 -M virt -cpu cortex-a57 -smp 2 -m 1536 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$initrd" \
  -append "console=ttyAMA0 quiet loglevel=3 panic=-1 rdinit=/sbin/init systemd.show_status=false" \
  </dev/null >"$console" 2>&1 || status=$?
vm_wall="$(echo "$(date +%s.%N) $vm_started" | awk '{printf "%.1f", $1 - $2}')"
rm -f "$initrd"
[ "$status" -eq 124 ] && fail "the virtual machine did not finish within 400 s (console: $console)"
[ "$status" -eq 0 ] || fail "qemu-system-aarch64 failed with status $status (console: $console)"

results="$work/results.txt"
# A line may follow the terminal codes systemd writes to the console.
tr -d '\r' <"$console" | grep -o 'ZULVM .*' | sed 's/^ZULVM //' >"$results" || true
problems=""
grep -q '^finished ' "$results" || problems="the checks did not finish (the console's end: $(tail -n 5 "$console" | tr -d '\r' | tr '\n' '|'))"
passed="$(grep -c '^ok ' "$results" || true)"
failed="$(grep -c '^FAIL ' "$results" || true)"
[ "$passed" -ge 12 ] || problems="$problems
only $passed checks passed"
echo "vm-systemd: checks began at $(sed -n 's/^boot //p' "$results") s of the guest's uptime (systemd's boot), ended at $(sed -n 's/^finished //p' "$results") s; READY $(sed -n 's/^figure ready-after-ms //p' "$results") ms after the bridge started; qemu $vm_wall s wall; all of tests/vm/systemd.sh $(elapsed) s"
if [ "$failed" -ne 0 ] || [ -n "$problems" ]; then
  grep -E '^(FAIL|journal)' "$results" >&2 || true
  [ -n "$problems" ] && echo "$problems" >&2
  fail "$failed of $((passed + failed)) checks failed${problems:+, and the run is incomplete} (all results: $results, console: $console)"
fi
grep '^ok ' "$results" | sed 's/^/vm-systemd: /'
echo "vm-systemd: $passed checks passed (results: $results)"
