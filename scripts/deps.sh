#!/bin/sh
# Installs the Debian packages named on the command line that are missing.
# A name may carry an architecture (libbcm2835-dev:arm64); a foreign one is
# added to dpkg first (multiarch). Safe to run again: it then does nothing.
#
# A real mirror is not always consistent. apt-get update is tried a few
# times and then given up with a warning: an index in the middle of a mirror
# sync ("File has unexpected size ... Mirror sync in progress?") fails while
# the other lists still deliver. And a Multi-Arch: same library (libssl3)
# must have one version on every architecture, while the lists of the
# architectures can lag each other: when an install fails, such libraries
# are brought to the highest version that every architecture involved has,
# and the install is tried once more. What still cannot be installed is
# named, with apt's own reason. Nothing installed is ever removed.
#
# ZUL_DEPS_PAUSE: seconds between tries of apt-get update (default 5).
set -eu
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
native="$(dpkg --print-architecture)"
pause="${ZUL_DEPS_PAUSE:-5}"
update_tries=3

say() {
  echo "deps.sh: $*" >&2
}

missing=""
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
    case "$pkg" in
      *:*)
        arch="${pkg##*:}"
        if [ "$arch" != "$native" ] && [ "$arch" != all ] &&
          ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
          say "adding the architecture $arch to dpkg"
          $SUDO dpkg --add-architecture "$arch"
        fi
        ;;
    esac
  fi
done
[ -z "$missing" ] && exit 0

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

update() {
  n=1
  until $SUDO apt-get update -qq >"$work/update.log" 2>&1; do
    if [ "$n" -ge "$update_tries" ]; then
      say "warning: apt-get update failed $n times; going on with the package lists at hand:"
      grep -E '^(E|W|Err):' "$work/update.log" | sed 's/^/  /' >&2 || true
      return 0
    fi
    say "apt-get update failed (try $n of $update_tries), again in ${pause}s:" \
      "$(grep -E '^(E|Err):' "$work/update.log" | head -n 1)"
    sleep "$pause"
    n=$((n + 1))
  done
}

install() {  # apt-get install options and packages; its output goes to install.log
  # shellcheck disable=SC2086 # $SUDO is empty or one word
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "$@" \
    >"$work/install.log" 2>&1
}

# The highest version that is a line of every file named (one version a line).
common_highest() {  # files...
  first="$1"; shift
  best=""
  while read -r v; do
    [ -n "$v" ] || continue
    everywhere=yes
    for f in "$@"; do
      grep -qxF "$v" "$f" || { everywhere=no; break; }
    done
    [ "$everywhere" = yes ] || continue
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best="$v"; fi
  done <"$first"
  echo "$best"
}

# Prints "name:arch=version" for each Multi-Arch: same library among the
# packages (and everything they depend on) whose installed and candidate
# versions differ across the architectures it is, or is to be, installed
# for: all of them at the highest version every one of those architectures
# has. Names the libraries with no such version on standard error, and then
# leaves the file unalignable behind. A library whose versions already
# agree is printed too, for the architectures it is still to be installed
# for: apt's resolver can fail to find it on a foreign architecture unless
# it is named (zlib1g:arm64 beside zlib1g-dev:arm64, seen on a lagging
# mirror).
aligned_versions() {  # packages...
  # What the packages need, and what apt's complaint names.
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | grep -v '^[ <]' >"$work/closure" || true
  sed -nE 'h; s/^ ([^ ]+) : .*/\1/p; g; s/.*(Depends|Breaks|Conflicts): ([^ ]+).*/\2/p' \
    "$work/install.log" >>"$work/closure"
  # Name, architecture and candidate version of the Multi-Arch: same ones.
  # shellcheck disable=SC2046 # a list of words
  apt-cache show --no-all-versions $(sort -u "$work/closure") 2>/dev/null | awk '
    /^Package:/ { p = $2 } /^Architecture:/ { a = $2 } /^Version:/ { v = $2 }
    /^Multi-Arch: same/ { same = 1 }
    /^$/ { if (same) print p, a, v; p = a = v = ""; same = 0 }
    END { if (same) print p, a, v }' | sort -u >"$work/same"
  names="$(cut -d' ' -f1 "$work/same" | sort -u)"
  # Every version of them the lists offer, on every architecture dpkg has:
  # one call, as each apt-cache call can take seconds.
  set --
  for name in $names; do
    for a in $native $(dpkg --print-foreign-architectures); do set -- "$@" "$name:$a"; done
  done
  : >"$work/offered"
  if [ $# -gt 0 ]; then
    apt-cache madison "$@" 2>/dev/null | awk -F'|' '$3 ~ /Packages *$/ {
      n = $1; gsub(/ /, "", n); sub(/:.*/, "", n); v = $2; gsub(/ /, "", v)
      k = split($3, w, " "); print n, w[k - 1], v }' >"$work/offered"
  fi
  for name in $names; do
    : >"$work/targets"
    : >"$work/archs"
    awk -v n="$name" '$1 == n { print $2 }' "$work/same" >>"$work/archs"
    awk -v n="$name" '$1 == n { print $3 }' "$work/same" >>"$work/targets"
    dpkg-query -W -f='${Architecture} ${Version} ${db:Status-Abbrev}\n' "$name" 2>/dev/null |
      awk '$3 == "ii" { print $1, $2 }' >"$work/installed" || true
    cut -d' ' -f1 "$work/installed" >>"$work/archs"
    cut -d' ' -f2 "$work/installed" >>"$work/targets"
    archs="$(sort -u "$work/archs" | tr '\n' ' ')"
    [ "$(echo "$archs" | wc -w)" -ge 2 ] || continue
    if [ "$(sort -u "$work/targets" | wc -l)" -lt 2 ]; then
      version="$(head -n 1 "$work/targets")"
      awk -v n="$name" '$1 == n { print $2 }' "$work/same" | sort -u | while read -r a; do
        grep -qx "$a $version" "$work/installed" || echo "$name:$a=$version"
      done
      continue
    fi
    set --
    for a in $archs; do
      awk -v n="$name" -v a="$a" '$1 == n && $2 == a { print $3 }' "$work/offered" >"$work/versions.$a"
      awk -v a="$a" '$1 == a { print $2 }' "$work/installed" >>"$work/versions.$a"
      set -- "$@" "$work/versions.$a"
    done
    version="$(common_highest "$@")"
    if [ -z "$version" ]; then
      say "$name (Multi-Arch: same) has no version that every one of" \
        "${archs}has:"
      for a in $archs; do
        say "  $a: $(sort -u "$work/versions.$a" | tr '\n' ' ')"
      done
      : >"$work/unalignable"
      continue
    fi
    for a in $archs; do
      echo "$name:$a=$version"
    done
  done
}

# Which package could not be installed, and why, in apt's own words.
explain() {
  say "could not install:$missing"
  awk '
    /^ [^ ]+ : / { pkg = $1; sub(/^ [^ ]+ : /, ""); print "  " pkg ": " $0; next }
    pkg != "" && /^  +[A-Za-z-]+: / { sub(/^ +/, ""); print "  " pkg ": " $0; next }
    { pkg = "" }
    /^E: / { print "  apt: " substr($0, 4) }' "$work/install.log" >&2
}

# One set of packages: installed, or brought to one version of each
# Multi-Arch: same library and tried again, or explained.
install_set() {  # packages...
  # shellcheck disable=SC2086 # a list of words
  if install "$@"; then return 0; fi
  rm -f "$work/unalignable"
  pins="$(aligned_versions "$@")"
  # With a library that has no common version, a second try cannot work.
  if [ -n "$pins" ] && [ ! -e "$work/unalignable" ]; then
    say "one version on every architecture:" "$(echo "$pins" | tr '\n' ' ')"
    # A package named again without its version would undo its pin.
    rest=""
    for pkg in "$@"; do
      case "$pkg" in *:*) qualified="$pkg" ;; *) qualified="$pkg:$native" ;; esac
      echo "$pins" | grep -q "^$qualified=" || rest="$rest $pkg"
    done
    # shellcheck disable=SC2086
    if install --allow-downgrades $pins $rest; then return 0; fi
  fi
  missing=" $*"
  explain
  return 1
}

say "installing:$missing"
update
# The machine's own packages first, then the foreign architectures': the
# libraries to align are then those of the foreign packages alone, not every
# Multi-Arch: same library that a native package (a Python) depends on.
own=""
foreign=""
for pkg in $missing; do
  case "$pkg" in
    *:"$native" | *:all) own="$own $pkg" ;;
    *:*) foreign="$foreign $pkg" ;;
    *) own="$own $pkg" ;;
  esac
done
# shellcheck disable=SC2086 # lists of words
if [ -n "$own" ]; then install_set $own || exit 1; fi
# shellcheck disable=SC2086
if [ -n "$foreign" ]; then install_set $foreign || exit 1; fi
exit 0
