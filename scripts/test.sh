#!/bin/sh
# Builds everything and runs every test: a plain build, then all tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and under ThreadSanitizer
# (the simulator the tests start is built with it too). Off a Raspberry Pi it
# then cross builds for 64-bit and 32-bit Raspberry Pi OS (presets arm64 and
# armhf) and makes the two .deb packages; ZUL_QEMU_TESTS=yes also runs the
# tests under qemu-user.
# ZUL_CROSS=no skips the cross part.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake g++ make libbcm2835-dev libgtest-dev libinih-dev libbenchmark-dev python3 time \
  libmosquitto-dev mosquitto nlohmann-json3-dev libtomlplusplus-dev zlib1g-dev python3-jinja2
jobs="$(nproc)"
# The bridge's end-to-end tests need the broker installed above.
export ZUL_REQUIRE_BROKER=1

# Warnings are errors here, and only here: users' builds must not stop on a
# warning of a newer compiler.
build() {  # name, extra cmake arguments...
  name="$1"; shift
  echo "== $name"
  cmake -S . -B "build-$name" -DCMAKE_BUILD_TYPE=Debug -DZUL_WERROR=ON "$@" >/dev/null
  cmake --build "build-$name" -j"$jobs" >/dev/null
}

run() {  # name, extra cmake arguments...
  build "$@"
  (cd "build-$1" && ctest --output-on-failure -j"$jobs")
}

# On a Raspberry Pi (or any ARM machine) the native build is the target's.
on_arm() {
  case "$(uname -m)" in
    aarch64 | arm*) return 0 ;;
  esac
  [ -r /proc/device-tree/model ] && grep -q '^Raspberry Pi' /proc/device-tree/model 2>/dev/null
}

run host
# CTest runs every case in a process of its own; here the whole suite runs in
# one process, in a random order, as it must: each case starts from the same
# state. Each also removes its temporary files.
echo "== host, one process, shuffled"
tmp="$(mktemp -d)"
if ! TMPDIR="$tmp" ./build-host/zul_tests --gtest_shuffle --gtest_repeat=1 >build-host/shuffled.log 2>&1; then
  grep -E '^\[  FAILED|random seed' build-host/shuffled.log >&2
  echo "the shuffled run failed: build-host/shuffled.log" >&2
  exit 1
fi
if [ -n "$(ls -A "$tmp")" ]; then
  echo "the tests left files behind in $tmp:" >&2
  ls -A "$tmp" >&2
  exit 1
fi
rmdir "$tmp"
# The optimiser finds what a Debug build hides (GCC's stringop warnings).
run release -DCMAKE_BUILD_TYPE=Release
# A second compiler, for its own warnings.
sh scripts/deps.sh clang
build clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run asan -DZUL_SANITIZE=address,undefined
# ThreadSanitizer needs a 64-bit x86 address space layout; 32-bit Pis lack it.
if ! on_arm; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run tsan -DZUL_SANITIZE=thread
fi
if [ "${ZUL_CROSS:-yes}" = no ] || on_arm; then
  echo "== cross builds skipped"
  exit 0
fi

sh scripts/deps.sh file qemu-user \
  g++-aarch64-linux-gnu libbcm2835-dev:arm64 libgtest-dev:arm64 libinih-dev:arm64 \
  libmosquitto-dev:arm64 libtomlplusplus-dev:arm64 zlib1g-dev:arm64 \
  g++-arm-linux-gnueabihf libbcm2835-dev:armhf libgtest-dev:armhf libinih-dev:armhf \
  libmosquitto-dev:armhf libtomlplusplus-dev:armhf zlib1g-dev:armhf

fail() {
  echo "$*" >&2
  exit 1
}

cross() {  # preset (= Debian architecture), what `file` says of its binaries
  preset="$1"; machine="$2"; dir="build-$preset"
  echo "== $preset (cross build, package, tests under qemu)"
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
    ./etc/zul-stm-driver/TEQsettings/Vizit/VizitCommon.set; do
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
  rm -rf "$unpacked"
  echo "$1: $(dpkg-deb -f "$1" Package Version Architecture | tr '\n' ' ')"
  # Under qemu-user 7.2 (bookworm) the first thread the program or a test
  # starts now spins inside the C library's pthread_create and never returns,
  # so every threaded test runs into its time-out. Until that is understood
  # the emulated run is opt-in (ZUL_QEMU_TESTS=yes); the target builds and
  # packages are checked above either way.
  if [ "${ZUL_QEMU_TESTS:-no}" = yes ]; then
    ctest --preset "$preset" -j"$jobs"
  else
    echo "$preset: tests under qemu skipped (ZUL_QEMU_TESTS=yes runs them)"
  fi
}

cross arm64 "ARM aarch64"
cross armhf "ARM, EABI5"
