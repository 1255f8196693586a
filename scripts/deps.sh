#!/bin/sh
# Installs the Debian packages named on the command line that are missing.
# A name may carry an architecture (libbcm2835-dev:arm64); a foreign one is
# added to dpkg first (multiarch). Safe to run again: it then does nothing.
set -eu
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
native="$(dpkg --print-architecture)"
missing=""
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
    case "$pkg" in
      *:*)
        arch="${pkg##*:}"
        if [ "$arch" != "$native" ] && [ "$arch" != all ] &&
          ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
          echo "adding the architecture $arch to dpkg" >&2
          $SUDO dpkg --add-architecture "$arch"
        fi
        ;;
    esac
  fi
done
[ -z "$missing" ] && exit 0
echo "installing:$missing" >&2
$SUDO apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
