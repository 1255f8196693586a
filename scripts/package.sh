#!/bin/sh
# Builds the Debian package(s) and nothing else: no tests, no virtual
# machine. They land in dist/.
#
#   sh scripts/package.sh [ARCH...]
#
# On a Raspberry Pi (or any ARM machine) it builds the machine's own package
# natively, as an ARMv6 board (Pi 1, Zero, Zero W) must: Debian's armhf
# compiler emits ARMv7 code. Elsewhere it cross builds for the ARCHs named
# (default: arm64 armhf) against a root of Debian bookworm of that
# architecture (scripts/target_root.sh). A package built against bookworm
# installs and runs on bookworm and on trixie, the two releases Raspberry Pi
# OS is based on: the C library and the libraries it links with keep their
# old symbols, and toml++ is compiled in. scripts/apt_repo.sh makes a signed
# apt repository of them.
set -eu
cd "$(dirname "$0")/.."
jobs="$(nproc)"
mkdir -p dist

on_arm() {
  case "$(uname -m)" in
    aarch64 | arm*) return 0 ;;
  esac
  return 1
}

package() {  # build directory, cmake arguments...
  dir="$1"; shift
  cmake "$@" -B "$dir" -DZUL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack >/dev/null)
  for deb in "$dir"/*.deb; do
    cp "$deb" dist/
    echo "dist/$(basename "$deb")"
  done
}

if on_arm; then
  # shellcheck disable=SC2046 # a list of words
  sh scripts/deps.sh $(sh scripts/packages.sh build)
  package build-package -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo
  exit 0
fi
# shellcheck disable=SC2046
sh scripts/deps.sh $(sh scripts/packages.sh cross)
for arch in ${*:-arm64 armhf}; do
  case "$arch" in
    arm64 | armhf) package "build-package-$arch" --preset "$arch" ;;
    *) echo "package.sh: no cross build for $arch (arm64, armhf)" >&2; exit 2 ;;
  esac
done
