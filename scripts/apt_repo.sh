#!/bin/sh
# Makes a signed apt repository of the packages named: one pool, and the
# suites bookworm and trixie for every architecture among them (a package
# built against bookworm serves both: scripts/package.sh). The Release files
# are signed with the gpg key ZUL_REPO_KEY names (a key id or user id in
# the keyring of GNUPGHOME, or the default one); its public half is written
# beside them, for the users' signed-by.
#
#   ZUL_REPO_KEY=you@example.org sh scripts/apt_repo.sh DIRECTORY DEB...
#
# A user's sources entry then reads (the key in /etc/apt/keyrings/):
#   deb [signed-by=/etc/apt/keyrings/zul-stm-driver.gpg] https://HOST/PATH trixie main
set -eu
[ $# -ge 2 ] || { echo "usage: ZUL_REPO_KEY=KEY $0 DIRECTORY DEB..." >&2; exit 2; }
[ -n "${ZUL_REPO_KEY:-}" ] || {
  echo "apt_repo.sh: name the signing key: ZUL_REPO_KEY=KEY (gpg --list-secret-keys shows yours)" >&2
  exit 2
}
repo="$1"; shift
command -v apt-ftparchive >/dev/null || sh "$(dirname "$0")/deps.sh" apt-utils gnupg
mkdir -p "$repo/pool/main"
archs=""
for deb in "$@"; do
  cp "$deb" "$repo/pool/main/"
  a="$(dpkg-deb -f "$deb" Architecture)"
  case " $archs " in *" $a "*) ;; *) archs="$archs $a" ;; esac
done
archs="${archs# }"
for suite in bookworm trixie; do
  dists="$repo/dists/$suite"
  for a in $archs; do
    mkdir -p "$dists/main/binary-$a"
    (cd "$repo" && apt-ftparchive --arch "$a" packages pool/main >"dists/$suite/main/binary-$a/Packages")
    gzip -9nkf "$dists/main/binary-$a/Packages"
  done
  apt-ftparchive -o APT::FTPArchive::Release::Origin=zul-stm-driver \
    -o APT::FTPArchive::Release::Label=zul-stm-driver \
    -o APT::FTPArchive::Release::Suite="$suite" -o APT::FTPArchive::Release::Codename="$suite" \
    -o APT::FTPArchive::Release::Architectures="$archs" \
    -o APT::FTPArchive::Release::Components=main release "$dists" >"$repo/Release.new"
  mv "$repo/Release.new" "$dists/Release"
  rm -f "$dists/InRelease" "$dists/Release.gpg"
  gpg --batch -q --local-user "$ZUL_REPO_KEY" --clearsign -o "$dists/InRelease" "$dists/Release"
  gpg --batch -q --local-user "$ZUL_REPO_KEY" --detach-sign -o "$dists/Release.gpg" "$dists/Release"
done
gpg --batch -q --export "$ZUL_REPO_KEY" >"$repo/zul-stm-driver.gpg"
echo "$repo: $(ls "$repo/pool/main" | tr '\n' ' ')for bookworm and trixie ($archs)"
