#!/bin/sh
# Makes (or finds in its cache) a root of a Debian release for another
# architecture, holding the named packages and everything they depend on,
# unpacked but not installed, and prints its path. The cross builds compile
# and link against it (CMAKE_SYSROOT) and qemu-user runs their tests in it
# (-L): the target's own loader, C library and libraries, as on a Pi, and
# nothing of a foreign architecture on this machine.
#
#   sh scripts/target_root.sh SUITE ARCH PACKAGE...
#
# The packages come through scripts/target_apt.sh (apt with a state of its
# own, which goes on without an index that fails). A root is kept under
# ZUL_ROOT_CACHE (default ${XDG_CACHE_HOME:-~/.cache}/zul-stm-driver/roots)
# by the suite, the architecture and a hash of the package list and the
# sources, so that a fresh clone finds it again; a root that was not
# finished is made anew.
set -eu
[ $# -ge 3 ] || { echo "usage: $0 SUITE ARCH PACKAGE..." >&2; exit 2; }
suite="$1"; arch="$2"; shift 2
here="$(cd "$(dirname "$0")" && pwd)"

say() {
  echo "target_root.sh: $*" >&2
}

cache="${ZUL_ROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zul-stm-driver/roots}"
sources="$(ZUL_APT_PRINT_SOURCES=yes sh "$here/target_apt.sh" "$suite" "$arch")"
# What a root holds changes with this script: its layout's number is part
# of the key, so that an older root is not taken for a newer one.
layout=2
key="$(printf '%s\n%s\n%s\n' "$layout" "$sources" "$(printf '%s\n' "$@" | sort -u)" | sha256sum | cut -c1-12)"
root="$cache/$suite-$arch-$key"
if [ -e "$root/.complete" ]; then
  echo "$root"
  exit 0
fi
mkdir -p "$cache"
rm -rf "$root" "$root.debs"
mkdir -p "$root" "$root.debs/partial"
APT_CONFIG="$(sh "$here/target_apt.sh" "$suite" "$arch")"
export APT_CONFIG

# The packages and their dependencies, fetched, never configured: the root
# is for compiling against and for running under emulation, not for booting.
if ! apt-get -q install -y --download-only -o Dir::Cache::Archives="$root.debs" "$@" \
  >"$root.debs/install.log" 2>&1; then
  say "could not fetch $* for $suite $arch:"
  grep -vE '^(Reading|Building|Get:|Fetched|Need to get|After this|The following|  )' \
    "$root.debs/install.log" | sed 's/^/  /' >&2
  exit 1
fi

# Unpacked as dpkg would on a merged-/usr system: /lib, /bin and /sbin are
# links into /usr, and a package's ./lib/ keeps the link.
mkdir -p "$root/usr/lib" "$root/usr/bin" "$root/usr/sbin"
for d in lib bin sbin; do ln -s "usr/$d" "$root/$d"; done
for deb in "$root.debs"/*.deb; do
  dpkg-deb --fsys-tarfile "$deb" | tar -C "$root" --keep-directory-symlink -xf -
done
# Links to absolute paths lead out of the root on this machine (libm.so to
# /lib/<triple>/libm.so.6): made relative, they lead to the root's own files.
find "$root" -type l -lname '/*' | while read -r link; do
  target="$(readlink "$link")"
  rel="$(realpath -m --relative-to="$(dirname "$link")" "$root$target")"
  ln -sfn "$rel" "$link"
done
# dpkg-shlibdeps on this machine must learn which package of the root a
# library belongs to, and the package's shlibs and symbols files: each
# library package gets a package build tree of its own under
# var/lib/zul-shlibs (its DEBIAN/ files and links to its libraries), which
# dpkg-shlibdeps looks in first when named with -S. The packages' Depends
# then come from the target's own libraries.
for deb in "$root.debs"/*.deb; do
  ctrl="$root.debs/ctrl"
  rm -rf "$ctrl" && mkdir -p "$ctrl"
  dpkg-deb --ctrl-tarfile "$deb" | tar -C "$ctrl" -x
  [ -f "$ctrl/shlibs" ] || [ -f "$ctrl/symbols" ] || continue
  tree="$root/var/lib/zul-shlibs/$(dpkg-deb -f "$deb" Package)"
  mkdir -p "$tree/DEBIAN"
  for f in control shlibs symbols; do
    [ -f "$ctrl/$f" ] && cp "$ctrl/$f" "$tree/DEBIAN/"
  done
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./||; /\.so[.0-9]*$/p' | while read -r lib; do
    mkdir -p "$tree/$(dirname "$lib")"
    ln -sfn "$(realpath -m --relative-to="$tree/$(dirname "$lib")" "$root/$lib")" "$tree/$lib"
  done
done
rm -rf "$root.debs/ctrl"
ls "$root.debs"/*.deb | sed 's|.*/||' >"$root/.packages"
rm -rf "$root.debs"
touch "$root/.complete"
echo "$root"
