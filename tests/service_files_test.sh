#!/bin/sh
# The package's service files as a Debian system takes them, in a scratch
# root: postinst makes the system user zul-stm in the groups gpio and spi and,
# off a Pi 1 to 4, links the kernel drop-in in; with it the unit runs as that
# user with no capability and is less exposed than the root one; postrm purge
# takes the link away again. Prints both exposure scores.
# Usage: service_files_test.sh SOURCE_DIR
set -eu
src="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

mkdir -p "$root/etc" "$root/usr/lib/sysusers.d" "$root/usr/share/zul-stm-driver" \
  "$root/lib/systemd/system"
cp "$src/bridge/dist/zul-stm-driver.sysusers" "$root/usr/lib/sysusers.d/zul-stm-driver.conf"
cp "$src/bridge/dist/zul-stm-mqtt-kernel.conf" "$root/usr/share/zul-stm-driver/"
cp "$src/bridge/dist/zul-stm-mqtt.service" "$root/lib/systemd/system/"

install_it() {
  DPKG_ROOT="$root" sh "$src/bridge/dist/postinst" configure >"$root/postinst.log" 2>&1 ||
    fail "postinst configure: $(cat "$root/postinst.log")"
}
install_it
install_it # an upgrade: nothing twice
[ "$(grep -c '^zul-stm:' "$root/etc/passwd")" = 1 ] || fail "not one user zul-stm: $(cat "$root/etc/passwd")"
grep -q '^zul-stm:[^:]*:[0-9]*:[0-9]*:[^:]*:/nonexistent:/usr/sbin/nologin$' "$root/etc/passwd" ||
  fail "zul-stm is not a system user without a home and a shell"
for group in gpio spi; do
  grep -Eq "^$group:[^:]*:[0-9]+:(.*,)?zul-stm(,|\$)" "$root/etc/group" ||
    fail "zul-stm is not in the group $group: $(cat "$root/etc/group")"
done

dropin="$root/etc/systemd/system/zul-stm-mqtt.service.d"
target=/usr/share/zul-stm-driver/zul-stm-mqtt-kernel.conf
model="$( (tr -d '\000' </proc/device-tree/model) 2>/dev/null || true)"
case "$model" in
  "Raspberry Pi 5" | "Raspberry Pi 5 "* | "Raspberry Pi 500"* | "Raspberry Pi Compute Module 5"*) pi1to4=no ;;
  "Raspberry Pi"*) pi1to4=yes ;;
  *) pi1to4=no ;;
esac
if [ "$pi1to4" = yes ]; then
  [ ! -e "$dropin/kernel.conf" ] || fail "a Pi 1 to 4 got the kernel drop-in without opting in"
  mkdir -p "$dropin" && ln -s "$target" "$dropin/kernel.conf" # the documented switch
fi
[ "$(readlink "$dropin/kernel.conf")" = "$target" ] || fail "no kernel drop-in linked in off a Pi 1 to 4"
# The link is absolute, as on the Pi; offline under --root systemd-analyze
# would follow it out of the scratch root, so it reads a copy of the target.
rm "$dropin/kernel.conf"
cp "$root$target" "$dropin/kernel.conf"

analyse() { # file for the report
  systemd-analyze security --offline=yes --root="$root" zul-stm-mqtt.service >"$1" 2>&1 ||
    fail "systemd-analyze: $(cat "$1")"
}
score() {
  sed -n 's/.*Overall exposure level for zul-stm-mqtt.service: \([0-9.]*\).*/\1/p' "$1"
}
analyse "$root/kernel.txt"
grep -q '✓ User=/DynamicUser=' "$root/kernel.txt" || fail "the kernel variant runs as root"
if grep -q '✗ CapabilityBoundingSet=' "$root/kernel.txt"; then
  fail "the kernel variant keeps capabilities: $(grep '✗ CapabilityBoundingSet=' "$root/kernel.txt")"
fi

rm "$dropin/kernel.conf"
ln -s "$target" "$dropin/kernel.conf"
DPKG_ROOT="$root" sh "$src/bridge/dist/postrm" purge || fail "postrm purge"
[ ! -e "$dropin/kernel.conf" ] && [ ! -L "$dropin/kernel.conf" ] || fail "purge left the drop-in"
analyse "$root/root.txt"
grep -q '✗ User=/DynamicUser=' "$root/root.txt" || fail "without the drop-in the service is not root"

kernel="$(score "$root/kernel.txt")"
as_root="$(score "$root/root.txt")"
echo "exposure: as root (bcm2835) $as_root, as zul-stm (kernel) $kernel"
awk -v k="$kernel" -v r="$as_root" 'BEGIN { exit !(k != "" && r != "" && k + 0 < r + 0) }' ||
  fail "the kernel variant ($kernel) is not less exposed than the root one ($as_root)"
