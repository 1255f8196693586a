#!/bin/sh
# Fuzzes every input from outside the program for SECONDS each (default 60):
# builds the libFuzzer targets of fuzz/ with clang in build-fuzz, then runs
# each on a working corpus in build-fuzz/corpus/<target>, seeded from
# fuzz/corpus/<target> (which it leaves alone: add an input there by hand
# when it should become part of the regression replay). Prints the
# executions per target; a finding stops the script with the input saved as
# build-fuzz/crash-* and the target's log in build-fuzz/<target>.log.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[ $# -gt 0 ] && shift
# shellcheck disable=SC2046 # a list of words
sh scripts/deps.sh $(sh scripts/packages.sh fuzz)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null
targets="$*"
if [ -z "$targets" ]; then
  targets="$(cd fuzz/corpus && ls)"
fi
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for t in $targets; do
  mkdir -p "build-fuzz/corpus/$t"
  log="build-fuzz/$t.log"
  # -close_fd_mask=3: the program's own output would drown the fuzzer's.
  if ! "build-fuzz/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=3 \
    -artifact_prefix=build-fuzz/ "build-fuzz/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E 'check failed|ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    echo "$t: a finding, see $log" >&2
    exit 1
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  echo "$t: $runs executions in $seconds s, nothing found"
done
