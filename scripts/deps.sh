#!/bin/sh
# Installs the Debian packages named on the command line that are missing,
# all of this machine's own architecture: the cross builds take the
# target's libraries from roots of their own (scripts/target_root.sh), so
# nothing of a foreign architecture is ever installed here. Safe to run
# again: it then does nothing. Nothing installed is ever removed.
#
# A real mirror is not always consistent: apt-get update is tried a few
# times and then given up with a warning, since an index in the middle of a
# mirror sync ("File has unexpected size ... Mirror sync in progress?")
# fails while the other lists still deliver. What still cannot be installed
# is named, with apt's own reason.
#
# ZUL_DEPS_PAUSE: seconds between tries of apt-get update (default 5).
set -eu
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
pause="${ZUL_DEPS_PAUSE:-5}"
update_tries=3

say() {
  echo "deps.sh: $*" >&2
}

missing=""
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
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

install() {  # packages; apt's output goes to install.log
  # shellcheck disable=SC2086 # $SUDO is empty or one word
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "$@" \
    >"$work/install.log" 2>&1
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

say "installing:$missing"
update
# shellcheck disable=SC2086 # a list of words
if ! install $missing; then
  # Lists older than the mirror name files it no longer has: once more with
  # fresh lists.
  update
  # shellcheck disable=SC2086
  install $missing || { explain; exit 1; }
fi
exit 0
