#!/bin/sh
# scripts/target_root.sh against a signed Debian mirror made here and served
# on 127.0.0.1, whose security index does not match its Release file, as a
# mirror in the middle of a sync: the root is made from the other indexes,
# with a warning naming the broken one; a package only the broken index
# offers is refused by name; and a made root is found again in the cache
# with the mirror gone.
set -eu
scripts="$(cd "$(dirname "$0")/.." && pwd)/scripts"
. "$(dirname "$0")/http_server.sh"
top="$(mktemp -d)"
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$top"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Packages of the target's architecture: a library, what it depends on, and
# a fix that only the security suite has.
package() {  # name, depends, pool
  d="$top/src/$1"
  mkdir -p "$d/DEBIAN" "$d/usr/lib/aarch64-linux-gnu"
  echo "$1" >"$d/usr/lib/aarch64-linux-gnu/$1.txt"
  ln -s "/usr/lib/aarch64-linux-gnu/$1.txt" "$d/usr/lib/aarch64-linux-gnu/$1.link"
  {
    echo "Package: $1"
    echo "Version: 1.0"
    echo "Architecture: arm64"
    echo "Maintainer: nobody <nobody@example.org>"
    [ -n "$2" ] && echo "Depends: $2"
    echo "Description: $1"
  } >"$d/DEBIAN/control"
  mkdir -p "$3"
  dpkg-deb -Zgzip --build "$d" "$3/$1_1.0_arm64.deb" >/dev/null
}

export GNUPGHOME="$top/gnupg"
mkdir -m 700 "$GNUPGHOME"
gpg --batch -q --passphrase '' --quick-gen-key 'zul test mirror' rsa2048 sign never 2>/dev/null
gpg --batch -q --export >"$top/keyring.gpg"

suite() {  # archive directory, suite
  dists="$1/dists/$2"
  mkdir -p "$dists/main/binary-arm64"
  (cd "$1" && apt-ftparchive packages pool >"dists/$2/main/binary-arm64/Packages")
  apt-ftparchive -o APT::FTPArchive::Release::Suite="$2" -o APT::FTPArchive::Release::Codename="$2" \
    -o APT::FTPArchive::Release::Architectures=arm64 -o APT::FTPArchive::Release::Components=main \
    release "$dists" >"$top/Release"
  mv "$top/Release" "$dists/Release"
  gpg --batch -q --yes --clearsign -o "$dists/InRelease" "$dists/Release"
}
www="$top/www"
package libzul-a libzul-b "$www/debian/pool"
package libzul-b "" "$www/debian/pool"
suite "$www/debian" zul
suite "$www/debian" zul-updates
package libzul-fix "" "$www/debian-security/pool"
suite "$www/debian-security" zul-security
# The mirror's sync is half done: the index grew after its Release was signed.
echo "Package: libzul-new" >>"$www/debian-security/dists/zul-security/main/binary-arm64/Packages"

serve_directory "$www" "$top/http.log"

export ZUL_DEBIAN_MIRROR="http://127.0.0.1:$port/debian" \
  ZUL_DEBIAN_SECURITY_MIRROR="http://127.0.0.1:$port/debian-security" \
  ZUL_DEBIAN_KEYRING="$top/keyring.gpg" ZUL_ROOT_CACHE="$top/roots" ZUL_APT_CACHE="$top/apt"

if root="$(sh "$scripts/target_root.sh" zul arm64 libzul-a 2>"$top/err")"; then
  [ "$(cat "$root/usr/lib/aarch64-linux-gnu/libzul-b.txt" 2>/dev/null)" = libzul-b ] ||
    fail "the dependency libzul-b is not in the root $root"
  [ "$(cat "$root/usr/lib/aarch64-linux-gnu/libzul-a.link" 2>/dev/null)" = libzul-a ] ||
    fail "an absolute link in the root does not lead to the root's own file"
  grep -q 'warning: .*could not be had' "$top/err" || fail "no warning of the broken index: $(cat "$top/err")"
  grep -q 'zul-security' "$top/err" || fail "the warning does not name the broken suite: $(cat "$top/err")"
else
  fail "no root although only the security index was broken: $(cat "$top/err")"
fi

if sh "$scripts/target_root.sh" zul arm64 libzul-fix >/dev/null 2>"$top/err"; then
  fail "a root with a package that only the broken index has"
fi
grep -q 'libzul-fix' "$top/err" || fail "the refusal does not name the package: $(cat "$top/err")"

kill "$server"
wait "$server" 2>/dev/null || true
server=""
again="$(sh "$scripts/target_root.sh" zul arm64 libzul-a 2>"$top/err")" ||
  fail "the cached root was not found with the mirror gone: $(cat "$top/err")"
[ "$again" = "${root:-}" ] || fail "the cache gave $again, not $root"

[ "$failures" -eq 0 ] || exit 1
echo "1 passed, 0 failed"
