#!/bin/sh
# Builds everything and runs every test: a plain build, then the unit tests
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh cmake g++ make libbcm2835-dev libgtest-dev
jobs="$(nproc)"

run() {  # name, extra cmake arguments...
  name="$1"; shift
  echo "== $name"
  cmake -S . -B "build-$name" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "build-$name" -j"$jobs" >/dev/null
  (cd "build-$name" && ctest --output-on-failure -j"$jobs")
}

run host
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run asan -DZUL_SANITIZE=address,undefined
