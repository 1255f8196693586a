#!/bin/sh
# Prepares apt for a Debian release and architecture other than this
# machine's, with a state of its own (lists, cache, an empty dpkg database),
# and prints the path of its configuration, for APT_CONFIG=... apt-get
# download / install --download-only / install -s. This machine's apt and
# dpkg are left alone: no architecture is added to them and nothing is
# installed.
#
#   sh scripts/target_apt.sh SUITE ARCH [ARCH...]
#
# The first ARCH is the one unqualified names mean; the others can be named
# as NAME:ARCH.
#
# A real mirror is not always consistent: an index that fails its check
# ("File has unexpected size ... Mirror sync in progress?") costs that index
# only. The lists of the others are used, with a warning naming the one left
# out (mmdebstrap, which would otherwise do, stops at it). With no index at
# all there is nothing to go on, and that is said.
#
# The sources are the suite itself, its -updates and its -security, main
# only, as on a fresh Debian. Raspberry Pi OS adds an archive of its own on
# top, which is not reachable from here: Debian's packages stand in for it.
#   ZUL_DEBIAN_MIRROR           default: this machine's Debian mirror
#   ZUL_DEBIAN_SECURITY_MIRROR  default: that mirror's debian-security
#   ZUL_DEBIAN_KEYRING          default: Debian's archive keyring
#   ZUL_APT_CACHE               default: ${XDG_CACHE_HOME:-~/.cache}/zul-stm-driver/apt
#   ZUL_APT_PRINT_SOURCES=yes   prints the sources it would use, and stops
set -eu
[ $# -ge 2 ] || { echo "usage: $0 SUITE ARCH [ARCH...]" >&2; exit 2; }
suite="$1"; shift
archs="$*"

say() {
  echo "target_apt.sh: $*" >&2
}

host_mirror() {
  # shellcheck disable=SC2016 # apt's own placeholders
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' 2>/dev/null |
    awk '$1 ~ /\/debian\/$/ && $2 !~ /-/ { print $1; exit }'
}
mirror="${ZUL_DEBIAN_MIRROR:-$(host_mirror)}"
mirror="${mirror:-http://deb.debian.org/debian/}"
mirror="${mirror%/}"
security="${ZUL_DEBIAN_SECURITY_MIRROR:-${mirror}-security}"
keyring="${ZUL_DEBIAN_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}"

sources="Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: $keyring

Types: deb
URIs: $security
Suites: $suite-security
Components: main
Signed-By: $keyring
"
if [ "${ZUL_APT_PRINT_SOURCES:-no}" = yes ]; then
  printf '%s' "$sources"
  exit 0
fi

cache="${ZUL_APT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zul-stm-driver/apt}"
key="$(printf '%s\n%s\n' "$sources" "$archs" | sha256sum | cut -c1-12)"
dir="$cache/$suite-$(echo "$archs" | tr ' ' '+')-$key"
mkdir -p "$dir/etc/apt/sources.list.d" "$dir/etc/apt/preferences.d" "$dir/etc/apt/apt.conf.d" \
  "$dir/lists/partial" "$dir/archives/partial" "$dir/dpkg/updates"
printf '%s' "$sources" >"$dir/etc/apt/sources.list.d/$suite.sources"
: >"$dir/dpkg/status"
list=""
for a in $archs; do list="$list \"$a\";"; done
# Nothing of this machine's apt configuration is read: another release,
# other architectures, another (empty) dpkg database, so every dependency
# is fetched.
cat >"$dir/apt.conf" <<CONF
Dir "/";
Dir::Etc "$dir/etc/apt";
Dir::Etc::Parts "$dir/etc/apt/apt.conf.d";
Dir::Etc::PreferencesParts "$dir/etc/apt/preferences.d";
Dir::Etc::TrustedParts "/nonexistent";
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/dpkg/status";
Dir::Cache "$dir";
Dir::Cache::Archives "$dir/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Dir::Log "$dir";
APT::Architecture "${archs%% *}";
APT::Architectures {$list };
APT::Install-Recommends "false";
Acquire::Languages "none";
Acquire::Retries "3";
Debug::NoLocking "true";
CONF

if ! APT_CONFIG="$dir/apt.conf" apt-get -q update >"$dir/update.log" 2>&1; then
  say "warning: some indexes of $suite ($archs) could not be had; going on without them:"
  grep -E '^(E|W|Err):' "$dir/update.log" | sed 's/^/  /' >&2 || true
fi
if ! find "$dir/lists" -maxdepth 1 -name '*_Packages*' | grep -q .; then
  say "no package index of $suite ($archs) could be had from $mirror:"
  sed 's/^/  /' "$dir/update.log" >&2
  exit 1
fi
echo "$dir/apt.conf"
