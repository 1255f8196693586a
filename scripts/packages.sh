#!/bin/sh
# The Debian packages a job of this project needs, by their names in this
# machine's release or in the one named: Debian bookworm, Debian trixie, and
# Raspberry Pi OS on either. What scripts/deps.sh installs is read here.
#
#   sh scripts/packages.sh build|test|web|format|fuzz|cross [CODENAME]
#
#   build   the program, the simulator and the bridge
#   test    and everything scripts/test.sh runs on this machine's build
#   web     the doorbell page's build and its tests in a real browser:
#           Node.js and npm (which install the page's npm packages from its
#           lock file) and Chromium
#   format  the pinned clang-format of the layout check (none where the
#           release has no clang-format 14)
#   fuzz    the libFuzzer targets
#   cross   the cross builds' compilers and emulators (the target's own
#           libraries come from roots of their own: scripts/target_root.sh),
#           and what the install test and the VM test need for the roots
#           they make
set -eu
job="${1:-}"
codename="${2:-}"
if [ -z "$codename" ] && [ -r /etc/os-release ]; then
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
fi
build="cmake g++ make dpkg-dev libbcm2835-dev libinih-dev libmosquitto-dev nlohmann-json3-dev \
libsystemd-dev libtomlplusplus-dev zlib1g-dev"
# clang's libFuzzer and sanitizer runtimes: a package of their own, which
# clang only recommends (libclang-rt-dev follows the release's clang).
fuzz="clang libclang-rt-dev"
case "$job" in
  build) echo "$build" ;;
  test)
    # ejabberd: a second MQTT broker for the bridge's end-to-end tests;
    # faketime: the soak's steps of the wall clock; mosquitto-clients: the
    # cluster check's operator and households.
    echo "$build $fuzz libgtest-dev libbenchmark-dev python3 time mosquitto mosquitto-clients ejabberd faketime \
python3-jinja2 systemd apt-utils gnupg"
    ;;
  web) echo "nodejs npm chromium" ;;
  format)
    case "$codename" in
      bookworm) echo clang-format-14 ;;
      *) ;;
    esac
    ;;
  fuzz) echo "$build $fuzz" ;;
  # The packages' install test makes fresh roots (mmdebstrap) and runs
  # their maintainer scripts through binfmt_misc (qemu-user-static); the
  # virtual machine's trixie kernel builds its modules in a trixie root, and
  # boots a trixie arm64 root with systemd made the same way.
  cross)
    echo "file qemu-user qemu-system-arm cpio xz-utils g++-aarch64-linux-gnu g++-arm-linux-gnueabihf \
mmdebstrap qemu-user-static"
    ;;
  *)
    echo "usage: $0 build|test|web|format|fuzz|cross [CODENAME]" >&2
    exit 2
    ;;
esac
