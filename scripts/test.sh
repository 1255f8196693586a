#!/bin/sh
# Builds everything and runs every test: a plain build (and the whole suite
# once more in one process, shuffled), a Release build and a clang build,
# then all tests under AddressSanitizer and UndefinedBehaviorSanitizer, and
# under ThreadSanitizer (the simulator the tests start is built with it too),
# every fuzz target over its seed corpus, the doorbell page (web/) in
# Debian's Chromium against the real broker and bridge, the check that ARCHITECTURE.md
# names every source folder and the check of the layout. Off a Raspberry Pi
# it then cross builds for 64-bit and 32-bit Raspberry Pi OS (presets arm64
# and armhf), makes the two .deb packages, runs every test, the bridge's
# included, under qemu-user, and boots Debian's arm64 kernels of bookworm and
# trixie under qemu-system to run the driver on the kernel's GPIO and SPI
# devices (tests/vm/run.sh), boots a trixie root with systemd and the arm64
# package to check its service (tests/vm/systemd.sh), and installs both packages from a signed apt
# repository into fresh roots of bookworm and trixie (tests/install_test.sh).
# ZUL_CROSS=no skips the cross part; ZUL_SHUFFLE_SEED=N repeats a shuffled
# order.
set -eu
cd "$(dirname "$0")/.."
jobs="$(nproc)"
# Each part's line says when it started, so that the time of every part
# shows in the log.
begun="$(date +%s)"
part() {
  echo "== $* (at $(($(date +%s) - begun)) s)"
}

# On a Raspberry Pi (or any ARM machine) the native build is the target's.
on_arm() {
  case "$(uname -m)" in
    aarch64 | arm*) return 0 ;;
  esac
  [ -r /proc/device-tree/model ] && grep -q '^Raspberry Pi' /proc/device-tree/model 2>/dev/null
}
cross_part=yes
if [ "${ZUL_CROSS:-yes}" = no ] || on_arm; then
  cross_part=no
fi

# Every package first, the cross part's included: a mirror that cannot
# deliver one shows in the first minute, not after the host builds. The
# names are this release's (scripts/packages.sh); nothing of a foreign
# architecture is installed here, the cross builds' target libraries come
# from roots of their own (scripts/target_root.sh).
# The doorbell page's Node.js and npm come from Debian too; where a Node.js
# is installed that brings an npm of its own (NodeSource's), it is taken as
# it is, since Debian's npm conflicts with it. Chromium, the page's browser,
# comes in the page's part.
web_node="$(sh scripts/packages.sh web | tr ' ' '\n' | grep -v '^chromium$' | tr '\n' ' ')"
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  web_node=""
fi
# shellcheck disable=SC2046,SC2086 # lists of words
sh scripts/deps.sh $(sh scripts/packages.sh test) $(sh scripts/packages.sh format) $web_node \
  $(if [ "$cross_part" = yes ]; then sh scripts/packages.sh cross; fi)
# The same names must resolve on every release a host may run.
part "the host packages on bookworm and trixie"
sh tests/host_packages_test.sh
# The bridge's end-to-end tests need the broker installed above.
export ZUL_REQUIRE_BROKER=1

# Each host configuration is a preset of CMakePresets.json (build-<preset>),
# so that any one step can be run by hand: cmake --preset asan && cmake
# --build --preset asan && ctest --preset asan.
# Warnings are errors here, and only here: users' builds must not stop on a
# warning of a newer compiler.
build() {  # preset, extra cmake arguments...
  name="$1"; shift
  part "$name"
  cmake --preset "$name" -DZUL_WERROR=ON "$@" >/dev/null
  cmake --build --preset "$name" -j"$jobs" >/dev/null
}

run() {  # preset, extra cmake arguments...
  build "$@"
  ctest --preset "$1" -j"$jobs"
}

run debug
# CTest runs every case in a process of its own; here the whole suite runs in
# one process, in a random order, as it must: each case starts from the same
# state. Each also removes its temporary files. The order comes from the
# seed printed here; ZUL_SHUFFLE_SEED=N repeats it.
seed="${ZUL_SHUFFLE_SEED:-$(($(date +%s) % 99999 + 1))}"
part "debug, one process, shuffled with seed $seed"
tmp="$(mktemp -d)"
if ! TMPDIR="$tmp" ./build-debug/zul_tests --gtest_shuffle --gtest_random_seed="$seed" \
  >build-debug/shuffled.log 2>&1; then
  grep -E '^\[  FAILED' build-debug/shuffled.log >&2
  echo "the shuffled run failed: build-debug/shuffled.log; the same order again:" >&2
  echo "  build-debug/zul_tests --gtest_shuffle --gtest_random_seed=$seed" >&2
  echo "  (or ZUL_SHUFFLE_SEED=$seed sh scripts/test.sh)" >&2
  exit 1
fi
if [ -n "$(ls -A "$tmp")" ]; then
  echo "the tests left files behind in $tmp:" >&2
  ls -A "$tmp" >&2
  exit 1
fi
rmdir "$tmp"
# The bridge's end-to-end tests again on a second broker, ejabberd's MQTT
# module, each test with a node, spool and port of its own: nothing of
# Mosquitto's own is relied on.
part "the bridge's end-to-end tests on ejabberd"
# One difference is left out: ejabberd keeps a client's MQTT session in
# memory, so after a restart of the broker the tests' probe, which relies on
# its persistent session as Mosquitto keeps it on disk, is no longer
# subscribed.
ZUL_TEST_BROKER=ejabberd ctest --preset debug -R '^Bridge(EndToEnd|Households)\.' \
  -E 'EventsOfABrokerOutageArriveOnceInOrder' -j"$jobs"
# An estate on a two-node ejabberd cluster: events and rules across the
# nodes, and entrances failing over when one node stops (half a minute).
part "an estate on an ejabberd cluster"
sh bench/cluster_check.sh build-debug
# The doorbell page: its npm packages from the lock file, its build, and its
# tests in Debian's Chromium against a real broker with WebSockets (this
# machine's Mosquitto, or trixie's from a root of its packages: doc/web.md),
# the bridge of the debug build and the simulator.
# Skipped only where Chromium cannot be installed.
part "the doorbell page in Chromium"
if sh scripts/deps.sh chromium && [ -x /usr/bin/chromium ]; then
  (cd web && npm ci --no-audit --no-fund && npm run build && ZUL_BUILD_DIR=../build-debug npm test)
else
  echo "the doorbell page's browser tests skipped: chromium cannot be installed here" >&2
fi
# The optimiser finds what a Debug build hides (GCC's stringop warnings).
run release
# A second compiler, for its own warnings.
build clang
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run asan
# ThreadSanitizer needs a 64-bit x86 address space layout; 32-bit Pis lack it.
if ! on_arm; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run tsan
fi
# Every fuzz target once over its seed corpus (scripts/fuzz.sh fuzzes). The
# fuzz build instruments everything: on a Pi that is hours, so it is left to
# the PC.
if ! on_arm; then
  run fuzz
fi
part "the code map and the layout"
sh scripts/check_architecture.sh
sh tests/check_architecture_test.sh
sh scripts/check_format.sh
if [ "$cross_part" = no ]; then
  part "cross builds skipped"
  # On an ARM host the native tests above ran on the target's instruction
  # set; the virtual machine's run says so itself.
  if on_arm; then
    sh tests/vm/run.sh
  fi
  exit 0
fi

fail() {
  echo "$*" >&2
  exit 1
}

cross() {  # preset (= Debian architecture), what `file` says of its binaries
  preset="$1"; machine="$2"; dir="build-$preset"
  part "$preset (cross build, package, tests under qemu)"
  cmake --preset "$preset" -DZUL_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs" >/dev/null
  for exe in zul_stm_driver zul_stm_sim zul_tests bridge/zul_stm_mqtt bridge/tests/zul_bridge_tests; do
    file -b "$dir/$exe" | grep -q "$machine" || fail "$dir/$exe: not $machine: $(file -b "$dir/$exe")"
  done
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack >/dev/null)
  set -- "$dir"/zul-stm-driver_*_"$preset".deb
  [ -f "$1" ] || fail "$dir: no zul-stm-driver_*_$preset.deb"
  [ "$(dpkg-deb -f "$1" Architecture)" = "$preset" ] || fail "$1: wrong architecture"
  contents="$(dpkg-deb -c "$1")"
  for f in ./usr/bin/zul_stm_driver ./usr/share/man/man1/zul_stm_driver.1.gz \
    ./usr/bin/zul_stm_mqtt ./usr/share/man/man1/zul_stm_mqtt.1.gz \
    ./lib/systemd/system/zul-stm-mqtt.service ./etc/zul-stm-driver/zul_stm_mqtt.toml \
    ./etc/zul-stm-driver/TEQsettings/Vizit/VizitCommon.set \
    ./usr/lib/sysusers.d/zul-stm-driver.conf ./usr/share/zul-stm-driver/zul-stm-mqtt-kernel.conf; do
    echo "$contents" | grep -q " $f\$" || fail "$1: $f missing"
  done
  if echo "$contents" | grep -Eq 'zul_stm_sim|zul_tests'; then
    fail "$1: holds the simulator or the tests"
  fi
  unpacked="$(mktemp -d)"
  dpkg-deb -x "$1" "$unpacked"
  for exe in zul_stm_driver zul_stm_mqtt; do
    file -b "$unpacked/usr/bin/$exe" | grep -q "$machine" ||
      fail "$1: the packaged $exe is not $machine"
  done
  dpkg-deb --ctrl-tarfile "$1" | tar -xO ./conffiles | grep -qx /etc/zul-stm-driver/zul_stm_mqtt.toml ||
    fail "$1: the bridge's configuration is not a conffile"
  for script in postinst postrm; do
    dpkg-deb --ctrl-tarfile "$1" | tar -t | grep -qx "./$script" || fail "$1: no $script"
  done
  rm -rf "$unpacked"
  echo "$1: $(dpkg-deb -f "$1" Package Version Architecture | tr '\n' ' ')"
  ctest --preset "$preset" -j"$jobs"
}

cross arm64 "ARM aarch64"
# The arm64 driver on real Linux kernels, bookworm's 6.1 and trixie's 6.12:
# GPIO character device and spidev.
part "the arm64 driver on bookworm's kernel"
sh tests/vm/run.sh build-arm64 bookworm
part "the arm64 driver on trixie's kernel"
sh tests/vm/run.sh build-arm64 trixie
# The arm64 package's service under a real systemd on that kernel: installed
# from a signed repository, READY, its status, its watchdog, its stop.
part "the arm64 package's service under systemd (trixie)"
sh tests/vm/systemd.sh build-arm64
cross armhf "ARM, EABI5"
# The packages as a user gets them: from a signed apt repository into fresh
# roots of bookworm and trixie on both architectures.
part "the packages installed from a signed repository"
sh tests/install_test.sh build-arm64/zul-stm-driver_*_arm64.deb build-armhf/zul-stm-driver_*_armhf.deb
part "all passed"
