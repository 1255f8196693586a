#!/bin/sh
# The packages as a user gets them: a signed apt repository of the arm64 and
# armhf packages (scripts/apt_repo.sh, with a key made here), served on
# 127.0.0.1, and a fresh root of each of Debian bookworm and trixie on each
# architecture (Debian stands in for Raspberry Pi OS, whose archive is not
# reachable from here). In each root, under qemu-user through binfmt_misc:
# apt installs zul-stm-driver from that repository with signed-by, as a
# user's sources entry would, and resolves every dependency; the postinst
# runs (the service's user exists); the program with no board says so in
# one line and exits 3; the bridge accepts its shipped configuration; both
# manual pages are there.
#
#   sh tests/install_test.sh DEB...
#
# Needs root (chroot, binfmt_misc). The fresh roots are made once with
# mmdebstrap and kept in ${XDG_CACHE_HOME:-~/.cache}/zul-stm-driver/bases.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 DEB..." >&2; exit 2; }
scripts="$(cd "$(dirname "$0")/.." && pwd)/scripts"
. "$(dirname "$0")/http_server.sh"
[ "$(id -u)" -eq 0 ] || { echo "install_test.sh: needs root (chroot); skipped"; exit 0; }
top="$(mktemp -d)"
server=""
# A root's /proc is unmounted before anything under it is removed.
trap '[ -n "$server" ] && kill "$server" 2>/dev/null
  for p in "$top"/root-*/proc; do umount "$p" 2>/dev/null || true; done
  rm -rf "$top"' EXIT
failures=0
checks=0
fail() {
  echo "FAIL [$where]: $*" >&2
  failures=$((failures + 1))
}
check() {  # description, command...
  what="$1"; shift
  checks=$((checks + 1))
  "$@" >"$top/out" 2>&1 || fail "$what: $(tail -n 5 "$top/out")"
}

# Foreign programs run through qemu-user-static, registered as its package's
# binfmt.d file says (bookworm and trixie alike), with the interpreter opened
# at registration (flag F), so that it works inside a chroot.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
for a in aarch64 arm; do
  [ -e "/proc/sys/fs/binfmt_misc/qemu-$a" ] || cat "/usr/lib/binfmt.d/qemu-$a.conf" >/proc/sys/fs/binfmt_misc/register
done

export GNUPGHOME="$top/gnupg"
mkdir -m 700 "$GNUPGHOME"
gpg --batch -q --passphrase '' --quick-gen-key 'zul-stm-driver test repository' rsa3072 sign never 2>/dev/null
ZUL_REPO_KEY='zul-stm-driver test repository' sh "$scripts/apt_repo.sh" "$top/www" "$@" >/dev/null

serve_directory "$top/www" "$top/http.log"

bases="${XDG_CACHE_HOME:-$HOME/.cache}/zul-stm-driver/bases"
mkdir -p "$bases"
for suite in bookworm trixie; do
  for arch in $(for d in "$@"; do dpkg-deb -f "$d" Architecture; done | sort -u); do
    where="$suite $arch"
    base="$bases/$suite-$arch.tar"
    if [ ! -f "$base" ]; then
      echo "install_test.sh: making a fresh $suite $arch root (once; kept in $bases)"
      mirror="$(ZUL_APT_PRINT_SOURCES=yes sh "$scripts/target_apt.sh" "$suite" "$arch" | sed -n '2s/^URIs: //p')"
      mmdebstrap --quiet --variant=apt --format=tar --architectures="$arch" "$suite" "$base.new" "$mirror" \
        "deb $mirror $suite-updates main" \
        "deb ${ZUL_DEBIAN_SECURITY_MIRROR:-$mirror-security} $suite-security main" >"$top/mm.log" 2>&1 ||
        { fail "mmdebstrap: $(tail -n 5 "$top/mm.log")"; continue; }
      mv "$base.new" "$base"
    fi
    root="$top/root-$suite-$arch"
    mkdir -p "$root"
    tar -C "$root" -xf "$base"
    mkdir -p "$root/etc/apt/keyrings"
    cp "$top/www/zul-stm-driver.gpg" "$root/etc/apt/keyrings/"
    echo "deb [signed-by=/etc/apt/keyrings/zul-stm-driver.gpg] http://127.0.0.1:$port $suite main" \
      >"$root/etc/apt/sources.list.d/zul-stm-driver.list"
    mount -t proc proc "$root/proc"
    # An index of Debian's mirror in the middle of a sync costs that index
    # only; what the package needs must still resolve.
    check "apt installs the package and its dependencies" chroot "$root" sh -c \
      '(apt-get -q update || true) && DEBIAN_FRONTEND=noninteractive apt-get -q install -y zul-stm-driver'
    check "the postinst made the service's user" chroot "$root" getent passwd zul-stm
    checks=$((checks + 1))
    set +e
    printf -- '-1\n-1\n' | chroot "$root" zul_stm_driver 10 >"$top/out" 2>"$top/err"
    status=$?
    set -e
    [ "$status" -eq 3 ] && [ "$(wc -l <"$top/err")" -eq 1 ] && grep -q 'no GPIO chip' "$top/err" ||
      fail "zul_stm_driver with no board: status $status, $(cat "$top/err")"
    check "zul_stm_mqtt accepts the shipped configuration" chroot "$root" \
      zul_stm_mqtt --check-config /etc/zul-stm-driver/zul_stm_mqtt.toml
    check "both manual pages are there" test -f "$root/usr/share/man/man1/zul_stm_driver.1.gz" -a \
      -f "$root/usr/share/man/man1/zul_stm_mqtt.1.gz"
    umount "$root/proc"
    echo "install_test.sh: $where: $(chroot "$root" dpkg-query -W zul-stm-driver 2>/dev/null)"
    rm -rf "$root"
  done
done
[ "$failures" -eq 0 ] || { echo "$checks checks, $failures failed" >&2; exit 1; }
echo "$checks passed, 0 failed"
