#!/bin/sh
# Runs the cross-built arm64 zul_stm_driver on a real Linux kernel, on its
# kernel backend (GPIO character device and spidev), and checks what the
# kernel saw.
#
#   sh tests/vm/run.sh [BUILD_DIR [SUITE]]
#     BUILD_DIR: the arm64 build (default build-arm64)
#     SUITE: the Debian release whose kernel boots: bookworm (6.1, the
#       default) or trixie (6.12); ZUL_VM_SUITE=SUITE says the same
#
# Debian's arm64 kernel boots under qemu-system-aarch64 (TCG) with a busybox
# initramfs. There gpio-sim (built here from Debian's kernel source as an
# out-of-tree module) is the Pi 5's header chip, and a fake SPI controller of
# our own (modules/zul_spi_peer.c) sits under the kernel's spidev as
# /dev/spidev0.0 and hands every message to zul_vm_check, which answers as
# the shield's co-processor (sim/coproc.cpp) and runs the cases (see
# zul_vm_check.cpp and init).
#
# What it takes from Debian is downloaded (apt-get download, dpkg-deb -x)
# into BUILD_DIR/vm/SUITE/cache: the kernel, its headers, kbuild and source
# of the same version, and busybox. None of it is installed on this machine,
# and none of it (nor the GPL-2.0 modules) goes into the package. Where the
# kernel's kbuild tools do not run on this machine (trixie's on bookworm),
# the modules build in a root of the kernel's release (see build_root).
#
# Exits 0 when every check passed; 1 with the failed checks otherwise.
# Skipped on an ARM machine, where the native tests run instead.
set -eu
case "$(uname -m)" in
  aarch64 | arm*)
    echo "vm: skipped on this ARM machine, where the native tests run instead"
    exit 0
    ;;
esac

fail() {
  echo "vm: $*" >&2
  exit 1
}

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
[ -d "${1:-$repo/build-arm64}" ] || fail "no build directory ${1:-$repo/build-arm64}: cross build first (cmake --preset arm64 && cmake --build --preset arm64)"
build="$(cd "${1:-$repo/build-arm64}" && pwd)"
suite="${2:-${ZUL_VM_SUITE:-bookworm}}"
case "$suite" in
  bookworm | trixie) ;;
  *) fail "no kernel of Debian $suite here: bookworm or trixie" ;;
esac
# Each release's kernel has a place of its own: its cache, modules,
# initramfs, console and results.
work="$build/vm/$suite"
started="$(date +%s.%N)"

elapsed() { echo "$(date +%s.%N) $started" | awk '{printf "%.1f", $1 - $2}'; }

driver="$build/zul_stm_driver"
# The simulator of the same build tells the settings frames to expect.
sim="$build/zul_stm_sim"
for exe in "$driver" "$sim"; do
  [ -x "$exe" ] || fail "no $exe: build it first (cmake --preset arm64 && cmake --build --preset arm64 --target zul_stm_driver zul_stm_sim)"
done

sh "$repo/scripts/deps.sh" qemu-system-arm g++-aarch64-linux-gnu cpio make xz-utils
readelf=aarch64-linux-gnu-readelf
for exe in "$driver" "$sim"; do
  $readelf -h "$exe" | grep -q AArch64 || fail "$exe is not an arm64 program"
done

# Debian's arm64 packages through an apt of their own (scripts/target_apt.sh):
# this machine's dpkg gets no foreign architecture. Its lists are fetched
# once, on the first look; an index of the mirror being synchronised is left
# out with a warning, not a reason to stop.
apt_updated=no
apt_update() {
  [ "$apt_updated" = yes ] && return 0
  apt_updated=yes
  APT_CONFIG="$(sh "$repo/scripts/target_apt.sh" "$suite" arm64 "$(dpkg --print-architecture)")" ||
    fail "no package lists for Debian $suite's arm64 kernel (scripts/target_apt.sh, above)"
  export APT_CONFIG
}

# The kernel's ABI and version from the arm64 metapackage, whose record says
# "Depends: linux-image-ABI-arm64 (= VERSION)": older ABIs leave the mirror,
# and the arm64 index may lag the amd64 one. (Every look at the package lists
# costs seconds here, so there is one.)
resolve_kernel() {
  apt-cache show linux-image-arm64 2>/dev/null |
    sed -n 's/^Depends: .*linux-image-\([0-9][^ ]*\)-arm64 (= \([^)]*\)).*/\1 \2/p' |
    sort -V -k 2 | tail -n 1
}

# The kbuild the headers depend on: linux-kbuild-6.1 in bookworm, one per
# ABI (linux-kbuild-6.12.NN+deb13) in trixie.
kbuild_of() {  # ABI VERSION
  apt-cache show "linux-headers-$1-arm64:arm64=$2" 2>/dev/null |
    sed -n 's/^Depends: .*\(linux-kbuild-[^ ,]*\).*/\1/p' | head -n 1
}

# The checker builds meanwhile: static, with the simulator's co-processor;
# the same one serves every kernel.
mkdir -p "$work"
check="$build/vm/zul_vm_check"
checker_pid=""
if [ ! -x "$check" ] ||
  [ -n "$(find "$here/zul_vm_check.cpp" "$repo/sim/coproc.cpp" "$repo/sim/coproc.h" -newer "$check")" ]; then
  nice aarch64-linux-gnu-g++ -std=c++20 -O2 -Wall -Wextra -Werror -static -pthread -I"$repo" \
    "$here/zul_vm_check.cpp" "$repo/sim/coproc.cpp" -o "$check.new" >"$build/vm/checker.log" 2>&1 &&
    mv "$check.new" "$check" &
  checker_pid=$!
fi

# The cache's places for one kernel.
use_kernel() {  # ABI VERSION
  abi="$1"
  version="$2"
  series="$(echo "$abi" | cut -d. -f1,2)"  # 6.1
  cache="$work/cache/${abi}_$version"
  root="$cache/root"
  headers="$root/usr/src/linux-headers-$abi-arm64"
  src="$cache/src"
  vmlinuz="$root/boot/vmlinuz-$abi-arm64"
  debs="$cache/debs"
  kbuild_packages  # linux-kbuild-6.1 until the package lists tell otherwise
}

# Kbuild and the source at the kernel's own version: the headers need the same.
kbuild_packages() {  # [kbuild's name]
  packages="linux-image-$abi-arm64:arm64=$version linux-headers-$abi-arm64:arm64=$version
    linux-headers-$abi-common=$version ${1:-linux-kbuild-$series}:$(dpkg --print-architecture)=$version
    linux-source-$series=$version
    busybox-static:arm64"
}

resolve() {  # [what resolve_kernel said]
  kernel="${1:-$(resolve_kernel)}"
  [ -n "$kernel" ] ||
    fail "cannot tell the kernel: linux-image-arm64:arm64 depends on no linux-image-*-arm64 (= VERSION) in the package lists"
  use_kernel "${kernel% *}" "${kernel#* }"
}

# All six in one go (each apt-get costs seconds).
download_all() {
  rm -rf "$cache"
  mkdir -p "$root" "$src" "$debs"
  (cd "$debs" && apt-get download -q $packages >/dev/null 2>"$cache/err")
}

# A complete download is used as it is (BUILD_DIR/vm/SUITE/cache/current
# names it): no package lists are consulted then. ZUL_VM_REFRESH=yes looks
# for the metapackage's kernel again.
current="$work/cache/current"
if [ "${ZUL_VM_REFRESH:-no}" != yes ] && [ -f "$current" ] &&
  [ -f "$work/cache/$(cat "$current")/root/.complete" ]; then
  use_kernel "$(sed 's/_.*//' "$current")" "$(sed 's/^[^_]*_//' "$current")"
else
  apt_update
  resolve
fi

if [ ! -f "$root/.complete" ]; then
  echo "vm: downloading Debian $suite's arm64 kernel $abi ($version), its headers and source, busybox"
  apt_update
  kbuild_packages "$(kbuild_of "$abi" "$version")"
  download_all || true
  # Each on its own where one failed; the newest kbuild or source where the
  # kernel's own version has gone (said so).
  for package in $packages; do
    name="${package%%[:=]*}"
    [ -n "$(find "$debs" -name "${name}_*.deb")" ] && continue
    if ! (cd "$debs" && apt-get download -q "$package" >/dev/null 2>"$cache/err"); then
      case "$package" in
        linux-kbuild-* | linux-source-*) echo "vm: $package is not in the package lists; taking the newest" >&2 ;;
        *) fail "apt-get download $package failed: $(cat "$cache/err")" ;;
      esac
      (cd "$debs" && apt-get download -q "${package%=*}" >/dev/null 2>"$cache/err") ||
        fail "apt-get download ${package%=*} failed: $(cat "$cache/err")"
    fi
  done
  echo "vm: downloaded after $(elapsed) s"
  # The kernel and the one module the test needs of it (under /usr/lib and
  # compressed in trixie); three files of the source; all of the rest. The
  # two big ones side by side.
  dpkg-deb --fsys-tarfile "$debs"/linux-image-*.deb |
    tar -x -C "$root" --wildcards './boot/vmlinuz-*' '*/modules/*/kernel/fs/configfs/configfs.ko*' &
  image_pid=$!
  (
    dpkg-deb --fsys-tarfile "$debs"/linux-source-*.deb | tar -x -C "$cache" --wildcards './usr/src/linux-source-*.tar.xz'
    tar -xJf "$cache"/usr/src/linux-source-*.tar.xz -C "$src" --strip-components=1 --occurrence=1 \
      "linux-source-$series/drivers/gpio/gpio-sim.c" \
      "linux-source-$series/drivers/gpio/gpiolib.h" \
      "linux-source-$series/kernel/irq/irq_sim.c"
    rm -rf "$cache/usr"
  ) &
  source_pid=$!
  for deb in "$debs"/linux-headers-*.deb "$debs"/linux-kbuild-*.deb "$debs"/busybox-static_*.deb; do
    dpkg-deb -x "$deb" "$root"
  done
  wait "$image_pid" || fail "cannot unpack $(echo "$debs"/linux-image-*.deb)"
  find "$root" -path '*/modules/*' -name configfs.ko.xz -exec xz -d {} +
  wait "$source_pid" || fail "cannot unpack gpio-sim.c, gpiolib.h and irq_sim.c from $(echo "$debs"/linux-source-*.deb)"
  # The headers include the common part through its absolute path.
  sed -i "s|include /usr/src/|include $root/usr/src/|" "$headers/Makefile"
  [ -f "$vmlinuz" ] || fail "no $vmlinuz in linux-image-$abi-arm64"
  # What its tools need, should they have to run in a root of their own.
  dpkg-deb -f "$debs"/linux-kbuild-*.deb Depends >"$cache/kbuild-depends"
  rm -rf "$debs"
  touch "$root/.complete"
  echo "${abi}_$version" >"$current"
  echo "vm: unpacked after $(elapsed) s"
fi
configfs="$(find "$root" -path '*/modules/*' -name configfs.ko | head -n 1)"
[ -n "$configfs" ] || fail "no configfs.ko in linux-image-$abi-arm64"

# ---- Where the kernel's kbuild runs ----
# The kbuild tools (fixdep, modpost ...) are built for the kernel's own
# release. Bookworm's run on this machine as they are. Trixie's need glibc
# 2.38, libelf1t64 and libssl3t64, which a bookworm machine lacks: they run
# in a root of trixie for this machine's architecture instead, made once by
# mmdebstrap and kept in the user's cache. That root is native (no emulation,
# so the build takes seconds), holds only make, the cross compiler the kernel
# was built with (its headers name it: gcc-14 for 6.12) and what the kbuild
# package depends on; the kernel's headers and kbuild stay in BUILD_DIR and
# are bind-mounted into it at their own paths, in a mount namespace of the
# build's own, so that one root serves every kernel of the release and
# nothing is left mounted (only the empty directories they are mounted on
# stay in the root). This machine's own libraries are left as they are.
kbuild_runs_here() {
  find "$root"/usr/lib/linux-kbuild-* -type f -perm -u+x | while read -r exe; do
    ldd "$exe" 2>&1 | grep -q 'not found' && echo "$exe"
  done | grep -q . && return 1
  return 0
}

build_root() {  # prints the root's path, made first where it is missing
  cc="$(sed -n 's/^CC = .*(CROSS_COMPILE)\(gcc-[0-9][0-9]*\).*/\1/p' "$headers/.kernelvariables" 2>/dev/null)"
  [ -n "$cc" ] || fail "the headers of $abi name no compiler ($headers/.kernelvariables)"
  # The kbuild's dependencies by name: a root of the release has versions new enough.
  wanted="make $cc-aarch64-linux-gnu $(sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g' "$cache/kbuild-depends")"
  # shellcheck disable=SC2086 # a list of words
  wanted="$(printf '%s\n' $wanted | sort -u | paste -sd, -)"
  sources="$(ZUL_APT_PRINT_SOURCES=yes sh "$repo/scripts/target_apt.sh" "$suite" "$host_arch")"
  key="$(printf '%s\n%s\n' "$wanted" "$sources" | sha256sum | cut -c1-12)"
  broot="${XDG_CACHE_HOME:-$HOME/.cache}/zul-stm-driver/vm-kbuild/$suite-$host_arch-$key"
  if [ ! -f "$broot/.complete" ]; then
    echo "vm: making a root of $suite ($host_arch) for the kernel's kbuild: $wanted" >&2
    rm -rf "$broot" "$broot.new"
    mkdir -p "$broot.new"
    printf '%s' "$sources" >"$broot.sources"
    nice mmdebstrap --quiet --mode=root --variant=essential --arch="$host_arch" --include="$wanted" \
      "$suite" "$broot.new" "$broot.sources" >"$broot.log" 2>&1 || {
      cat "$broot.log" >&2
      fail "mmdebstrap could not make a root of $suite for the kernel's kbuild"
    }
    rm -f "$broot.sources"
    mv "$broot.new" "$broot"
    touch "$broot/.complete"
  fi
  echo "$broot"
}

# Runs a kbuild command here, or in the release's root where there is one.
broot=""
kbuild() {
  if [ -z "$broot" ]; then
    nice "$@"
    return
  fi
  # shellcheck disable=SC2016 # the inner shell's own arguments
  unshare --mount --propagation private sh -c '
    broot="$1" root="$2" mods="$3"; shift 3
    mount --bind "$root" "$broot$root" && mount --bind "$mods" "$broot$mods" &&
      exec chroot "$broot" env -i PATH=/usr/bin:/bin HOME=/ LC_ALL=C.UTF-8 nice "$@"
  ' sh "$broot" "$root" "$mods" "$@"
}
host_arch="$(dpkg --print-architecture)"

# ---- The modules: gpio-sim with irq_sim linked in, and the fake SPI controller ----
mods="$work/modules-${abi}_$version"
mkdir -p "$mods"
update() {  # source, destination: copied only when it changed, so make rebuilds only then
  cmp -s "$1" "$2" || cp "$1" "$2"
}
update "$here/modules/Kbuild" "$mods/Kbuild"
update "$here/modules/zul_spi_peer.c" "$mods/zul_spi_peer.c"
update "$src/drivers/gpio/gpio-sim.c" "$mods/gpio-sim.c"
update "$src/drivers/gpio/gpiolib.h" "$mods/gpiolib.h"
# irq_to_desc() is not exported to modules in 6.1 nor in 6.12;
# generic_handle_irq() does the same for the simulated interrupt.
sed 's/handle_simple_irq(irq_to_desc(irqnum))/generic_handle_irq(irqnum)/' \
  "$src/kernel/irq/irq_sim.c" >"$mods/irq_sim.c.new"
grep -q 'generic_handle_irq(irqnum)' "$mods/irq_sim.c.new" ||
  fail "kernel/irq/irq_sim.c of $version has changed: the irq_to_desc() replacement no longer applies"
update "$mods/irq_sim.c.new" "$mods/irq_sim.c"
rm -f "$mods/irq_sim.c.new"
if [ -n "$(find "$mods" -maxdepth 1 -name '*.[ch]' -newer "$mods/zul_spi_peer.ko" 2>/dev/null)" ] ||
  [ ! -f "$mods/zul_spi_peer.ko" ] || [ ! -f "$mods/gpio_sim_vm.ko" ] || [ "$mods/Kbuild" -nt "$mods/zul_spi_peer.ko" ]; then
  modules_stale=yes
else
  modules_stale=no
fi
if [ "$modules_stale" = yes ] && ! kbuild_runs_here; then
  [ "$(id -u)" -eq 0 ] ||
    fail "the kbuild of $abi does not run on this machine, and its root of $suite needs root (mmdebstrap, chroot)"
  command -v mmdebstrap >/dev/null || sh "$repo/scripts/deps.sh" mmdebstrap
  broot="$(build_root)"
  mkdir -p "$broot$root" "$broot$mods"
fi
if [ "$modules_stale" = yes ] && ! kbuild make -C "$headers" M="$mods" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- -j2 modules \
  >"$mods/build.log" 2>&1; then
  cat "$mods/build.log" >&2
  fail "the kernel modules did not build"
fi
if grep -E 'zul_spi_peer.c.*warning' "$mods/build.log" >&2; then
  fail "warnings in modules/zul_spi_peer.c"
fi
echo "vm: kernel modules built after $(elapsed) s"

if [ -n "$checker_pid" ]; then
  if ! wait "$checker_pid" || [ ! -x "$check" ]; then
    cat "$build/vm/checker.log" >&2
    fail "zul_vm_check did not build"
  fi
  echo "vm: zul_vm_check built after $(elapsed) s"
fi

# ---- The initramfs ----
ir="$work/initramfs"
rm -rf "$ir"
mkdir -p "$ir/bin" "$ir/lib/modules" "$ir/etc" "$ir/zul" "$ir/proc" "$ir/sys" "$ir/dev" "$ir/tmp"
cp "$here/init" "$ir/init"
chmod 755 "$ir/init"
# busybox-static has it under /usr/bin from trixie on.
busybox="$root/bin/busybox"
[ -f "$busybox" ] || busybox="$root/usr/bin/busybox"
cp "$busybox" "$check" "$ir/bin/"
cp "$configfs" "$mods/gpio_sim_vm.ko" "$mods/zul_spi_peer.ko" "$ir/lib/modules/"
cp "$driver" "$ir/zul/"
cp "$sim" "$ir/zul/"
cp -r "$repo/TEQsettings" "$ir/zul/"
printf 'root:x:0:0:root:/:/bin/sh\nzul:x:1000:1000:zul:/zul:/bin/sh\n' >"$ir/etc/passwd"
printf 'root:x:0:\ngpio:x:997:\nspi:x:999:\nzul:x:1000:\n' >"$ir/etc/group"
# The program's shared libraries, from the cross C library it was linked
# against, then the multiarch ones.
libs_of() {
  $readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}
find_lib() {
  for dir in /usr/aarch64-linux-gnu/lib /usr/lib/aarch64-linux-gnu /lib/aarch64-linux-gnu; do
    [ -f "$dir/$1" ] && { echo "$dir/$1"; return 0; }
  done
  return 1
}
todo="$(libs_of "$driver") $(libs_of "$sim") ld-linux-aarch64.so.1"
while [ -n "$todo" ]; do
  next=""
  for lib in $todo; do
    [ -f "$ir/lib/$lib" ] && continue
    path="$(find_lib "$lib")" || fail "$lib (needed by $driver or $sim) is not in the arm64 C library's directories"
    cp -L "$path" "$ir/lib/$lib"
    next="$next $(libs_of "$ir/lib/$lib")"
  done
  todo="$next"
done
initrd="$work/initramfs.cpio.gz"
(cd "$ir" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$initrd"

# ---- The run ----
console="$work/console.log"
echo "vm: booting Debian $suite's $abi under qemu-system-aarch64 (TCG) after $(elapsed) s"
vm_started="$(date +%s.%N)"
status=0
timeout 170 qemu-system-aarch64 -M virt -cpu cortex-a57 -smp 2 -m 512 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$initrd" \
  -append "console=ttyAMA0 quiet loglevel=3 panic=-1" </dev/null >"$console" 2>&1 || status=$?
vm_wall="$(echo "$(date +%s.%N) $vm_started" | awk '{printf "%.1f", $1 - $2}')"
[ "$status" -eq 124 ] && fail "the virtual machine did not finish within 170 s (console: $console)"
[ "$status" -eq 0 ] || fail "qemu-system-aarch64 failed with status $status (console: $console)"

results="$work/results.txt"
tr -d '\r' <"$console" | grep '^ZULVM ' | sed 's/^ZULVM //' >"$results" || true
problems=""
grep -q '^finished ' "$results" || problems="the run did not finish (the console's end: $(tail -n 5 "$console" | tr -d '\r' | tr '\n' '|'))"
for case in no-spi detector-self-test line-missing line-busy no-groups no-gpio-group no-spi-group \
  shield26 shield27-user; do
  grep -qx "case-done $case" "$results" || problems="$problems
case $case did not run to its end"
done
passed="$(grep -c '^ok ' "$results" || true)"
failed="$(grep -c '^FAIL ' "$results" || true)"
boot="$(sed -n 's/^boot //p' "$results" | head -n 1)"
guest="$(sed -n 's/^finished //p' "$results" | head -n 1)"
echo "vm: guest boot ${boot:-?} s, whole guest run ${guest:-?} s (guest clock), qemu ${vm_wall} s wall; all of tests/vm/run.sh $(elapsed) s"
if [ "$failed" -ne 0 ] || [ -n "$problems" ]; then
  grep -E '^(FAIL|stderr) ' "$results" >&2 || true
  [ -n "$problems" ] && echo "$problems" >&2
  fail "$failed of $((passed + failed)) checks failed (all results: $results, console: $console)"
fi
echo "vm: $passed checks passed in 9 cases: $(sed -n 's/^case-time //p' "$results" | paste -sd, - | sed 's/,/, /g') (results: $results)"
