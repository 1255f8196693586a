#!/bin/sh
# The packages scripts/test.sh, scripts/demo.sh and scripts/fuzz.sh install,
# resolved against the package lists of every release a host may run
# (Debian bookworm and trixie, on a PC and on a Pi), with apt in simulation
# and a state of its own: a name that a release lacks shows here, not on a
# user's fresh machine.
set -eu
scripts="$(cd "$(dirname "$0")/.." && pwd)/scripts"
failures=0
for host in "bookworm amd64" "trixie amd64" "trixie arm64"; do
  set -- $host
  suite="$1"; arch="$2"
  APT_CONFIG="$(sh "$scripts/target_apt.sh" "$suite" "$arch")" || { failures=$((failures + 1)); continue; }
  export APT_CONFIG
  for job in build test web format fuzz cross; do
    # shellcheck disable=SC2046 # a list of words
    if ! apt-get -qq -s install $(sh "$scripts/packages.sh" "$job" "$suite") >/tmp/$$.log 2>&1; then
      echo "FAIL: $job's packages do not resolve on $suite $arch:" >&2
      grep -E '^( |E:)' /tmp/$$.log | sed 's/^/  /' >&2
      failures=$((failures + 1))
    fi
  done
  rm -f /tmp/$$.log
  unset APT_CONFIG
done
[ "$failures" -eq 0 ] || exit 1
echo "3 passed, 0 failed"
