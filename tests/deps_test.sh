#!/bin/sh
# scripts/deps.sh against a make-believe apt and dpkg: stand-ins on PATH
# that answer from files of this test and log what they were asked to do.
# Checks what the user reads and which installs were attempted: the retries
# of a failing apt-get update, one version of a Multi-Arch: same library on
# every architecture, and the reason given for a package that cannot be
# installed.
set -eu
deps="$(cd "$(dirname "$0")/.." && pwd)/scripts/deps.sh"
real_dpkg="$(command -v dpkg)"
top="$(mktemp -d)"
trap 'rm -rf "$top"' EXIT
failures=0

fail() {
  echo "FAIL [$case_name]: $*" >&2
  failures=$((failures + 1))
}

# A fresh make-believe machine: amd64 with arm64 and armhf added.
machine() {  # case name
  case_name="$1"
  fake="$top/$1"
  mkdir -p "$fake/bin"
  printf 'arm64\narmhf\n' >"$fake/foreign"
  : >"$fake/installed"  # name arch version
  : >"$fake/available"  # name arch version   (the mirror's lists)
  : >"$fake/depends"    # apt-cache depends --recurse output
  : >"$fake/calls"      # apt-get's arguments, one call a line
  : >"$fake/madison_calls"
  : >"$fake/install_error"
  echo 0 >"$fake/update_failures"
  echo "install" >"$fake/install_ok_with"  # what a working install's arguments hold

  cat >"$fake/bin/sudo" <<'EOF'
#!/bin/sh
exec "$@"
EOF
  cat >"$fake/bin/dpkg" <<EOF
#!/bin/sh
fake="$fake"
case "\$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "\$fake/foreign" ;;
  --add-architecture) echo "\$2" >>"\$fake/foreign" ;;
  *) exec "$real_dpkg" "\$@" ;;
esac
EOF
  cat >"$fake/bin/dpkg-query" <<EOF
#!/bin/sh
fake="$fake"
format="\${2#-f=}"
pkg="\$3"
name="\${pkg%%:*}"
arch=amd64
case "\$pkg" in *:*) arch="\${pkg##*:}" ;; esac
case "\$format" in
  *Version*)
    awk -v n="\$name" '\$1 == n { print \$2, \$3, "ii " }' "\$fake/installed" ;;
  *)
    awk -v n="\$name" -v a="\$arch" '\$1 == n && \$2 == a { found = 1 }
      END { if (found) printf "install ok installed"; exit !found }' "\$fake/installed" ;;
esac
EOF
  cat >"$fake/bin/apt-get" <<EOF
#!/bin/sh
fake="$fake"
echo "\$*" >>"\$fake/calls"
for a in "\$@"; do
  case "\$a" in
    update)
      n="\$(cat "\$fake/update_failures")"
      if [ "\$n" -gt 0 ]; then
        echo \$((n - 1)) >"\$fake/update_failures"
        echo "E: Failed to fetch http://deb.example/binary-armhf/Packages.xz  File has unexpected size (51234 != 51200). Mirror sync in progress? [IP: 192.0.2.1 80]"
        exit 100
      fi
      exit 0 ;;
    install)
      want="\$(cat "\$fake/install_ok_with")"
      case " \$* " in
        *" \$want "*) exit 0 ;;
      esac
      cat "\$fake/install_error"
      exit 100 ;;
  esac
done
exit 1
EOF
  cat >"$fake/bin/apt-cache" <<EOF
#!/bin/sh
fake="$fake"
case "\$1" in
  depends) cat "\$fake/depends" ;;
  show)
    shift
    for pkg in "\$@"; do
      case "\$pkg" in --*) continue ;; esac
      name="\${pkg%%:*}"; arch=amd64
      case "\$pkg" in *:*) arch="\${pkg##*:}" ;; esac
      awk -v n="\$name" -v a="\$arch" '\$1 == n && \$2 == a {
        print "Package: " n; print "Version: " \$3; print "Architecture: " a
        print "Multi-Arch: same"; print ""; exit }' "\$fake/available"
    done ;;
  madison)
    shift
    echo "\$*" >>"\$fake/madison_calls"
    for pkg in "\$@"; do
      name="\${pkg%%:*}"; arch="\${pkg##*:}"
      awk -v p="\$pkg" -v n="\$name" -v a="\$arch" '\$1 == n && \$2 == a {
        print " " p " | " \$3 " | http://deb.example/debian bookworm/main " a " Packages" }' \
        "\$fake/available"
    done ;;
esac
EOF
  chmod +x "$fake/bin"/*
}

run_deps() {  # packages...
  status=0
  PATH="$fake/bin:$PATH" ZUL_DEPS_PAUSE=0 sh "$deps" "$@" >"$fake/out" 2>"$fake/err" || status=$?
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, not $1; it said: $(cat "$fake/err")"
}

expect_said() {  # a fixed text that standard error must hold
  grep -qF -- "$1" "$fake/err" || fail "did not say \"$1\"; it said: $(cat "$fake/err")"
}

expect_calls() {  # the apt-get calls, one a line
  : >"$fake/expected_calls"
  [ $# -eq 0 ] || printf '%s\n' "$@" >"$fake/expected_calls"
  cmp -s "$fake/expected_calls" "$fake/calls" ||
    fail "apt-get calls were: $(cat "$fake/calls") -- expected: $*"
}

# Nothing missing: neither apt-get update nor install.
machine installed
echo "libbcm2835-dev arm64 1.71-1" >"$fake/installed"
run_deps libbcm2835-dev:arm64
expect_status 0
expect_calls
[ -s "$fake/err" ] && fail "said something: $(cat "$fake/err")"

# A mirror in sync: the update fails twice, the third try works.
machine update_retried
echo 2 >"$fake/update_failures"
run_deps libinih-dev:arm64
expect_status 0
expect_said "apt-get update failed (try 1 of 3), again in 0s: E: Failed to fetch"
expect_said "apt-get update failed (try 2 of 3)"
expect_calls "update -qq" "update -qq" "update -qq" \
  "install -y -qq --no-remove libinih-dev:arm64"

# The update never works: a warning, and the install from the lists at hand.
machine update_given_up
echo 5 >"$fake/update_failures"
run_deps libinih-dev:armhf
expect_status 0
expect_said "warning: apt-get update failed 3 times; going on with the package lists at hand:"
expect_said "Mirror sync in progress?"
expect_calls "update -qq" "update -qq" "update -qq" \
  "install -y -qq --no-remove libinih-dev:armhf"

# A foreign architecture not yet known to dpkg is added first.
machine new_architecture
: >"$fake/foreign"
run_deps libinih-dev:arm64
expect_status 0
expect_said "adding the architecture arm64 to dpkg"
grep -qx arm64 "$fake/foreign" || fail "arm64 was not added"

# What happened here: amd64's libssl3 at 3.0.19 (no longer on the mirror),
# its lists offering 3.0.22 and 3.0.20, while arm64 and armhf only have
# 3.0.20 (their security index failed to download).
skew() {
  echo "libssl3 amd64 3.0.19-1~deb12u1" >"$fake/installed"
  cat >"$fake/available" <<'EOF'
libssl3 amd64 3.0.22-1~deb12u2
libssl3 amd64 3.0.20-1~deb12u2
libssl3 amd64 3.0.17-1~deb12u2
libssl3 arm64 3.0.20-1~deb12u2
libssl3 arm64 3.0.17-1~deb12u2
libssl3 armhf 3.0.20-1~deb12u2
libssl3 armhf 3.0.17-1~deb12u2
libc6 arm64 2.36-9+deb12u14
libc6 armhf 2.36-9+deb12u14
EOF
  cat >"$fake/depends" <<'EOF'
libmosquitto-dev:arm64
  Depends: libmosquitto1:arm64
libmosquitto1:arm64
  Depends: libc6:arm64
  Depends: libssl3:arm64
libc6:arm64
libssl3:arm64
  Depends: libc6:arm64
libmosquitto-dev:armhf
  Depends: libmosquitto1:armhf
libmosquitto1:armhf
  Depends: libc6:armhf
  Depends: libssl3:armhf
libc6:armhf
libssl3:armhf
  Depends: libc6:armhf
EOF
  cat >"$fake/install_error" <<'EOF'
Some packages could not be installed. This may mean that you have
requested an impossible situation or if you are using the unstable
distribution that some required packages have not yet been created
or been moved out of Incoming.
The following information may help to resolve the situation:

The following packages have unmet dependencies:
 libmosquitto1:arm64 : Depends: libssl3:arm64 (>= 3.0.0) but it is not going to be installed
 libssl3:arm64 : Breaks: libssl3 (!= 3.0.20-1~deb12u2) but 3.0.19-1~deb12u1 is to be installed
E: Unable to correct problems, you have held broken packages.
EOF
}

machine multiarch_aligned
skew
# libc6's versions agree; it is still to be installed for both, so it is
# named as well.
pins="libc6:arm64=2.36-9+deb12u14 libc6:armhf=2.36-9+deb12u14 libssl3:amd64=3.0.20-1~deb12u2 \
libssl3:arm64=3.0.20-1~deb12u2 libssl3:armhf=3.0.20-1~deb12u2"
echo "$pins libmosquitto-dev:arm64 libmosquitto-dev:armhf" >"$fake/install_ok_with"
run_deps libmosquitto-dev:arm64 libmosquitto-dev:armhf
expect_status 0
expect_said "one version on every architecture: $pins"
expect_calls "update -qq" \
  "install -y -qq --no-remove libmosquitto-dev:arm64 libmosquitto-dev:armhf" \
  "install -y -qq --no-remove --allow-downgrades $pins libmosquitto-dev:arm64 libmosquitto-dev:armhf"

# Asked for by name, the library is installed by its pin alone: the plain
# name after it would undo the pin.
machine multiarch_asked_for
skew
echo "--allow-downgrades $pins libmosquitto-dev:armhf" >"$fake/install_ok_with"
run_deps libssl3:arm64 libmosquitto-dev:armhf
expect_status 0
expect_calls "update -qq" \
  "install -y -qq --no-remove libssl3:arm64 libmosquitto-dev:armhf" \
  "install -y -qq --no-remove --allow-downgrades $pins libmosquitto-dev:armhf"
[ "$(wc -l <"$fake/madison_calls")" -eq 1 ] || fail "apt-cache madison called more than once"

# The same, but arm64's lists lack every version amd64 has: it names the
# library and the versions each architecture has, then apt's reasons.
machine multiarch_impossible
skew
grep -v '^libssl3 arm64' "$fake/available" >"$fake/a" && mv "$fake/a" "$fake/available"
echo "libssl3 arm64 3.0.21-1~deb12u1" >>"$fake/available"
echo "never" >"$fake/install_ok_with"
run_deps libmosquitto-dev:arm64 libmosquitto-dev:armhf
expect_status 1
expect_said "libssl3 (Multi-Arch: same) has no version that every one of amd64 arm64 armhf has:"
expect_said "  arm64: 3.0.21-1~deb12u1"
expect_said "could not install: libmosquitto-dev:arm64 libmosquitto-dev:armhf"
expect_said "libssl3:arm64: Breaks: libssl3 (!= 3.0.20-1~deb12u2) but 3.0.19-1~deb12u1 is to be installed"
expect_said "apt: Unable to correct problems, you have held broken packages."
[ "$(grep -c '^install' "$fake/calls")" -eq 1 ] || fail "tried again without a version to pin"

# Every version already agrees, yet apt's resolver does not find the
# library for the foreign architecture until it is named: it is named at
# that version, and only where it is not installed yet.
machine multiarch_named
echo "zlib1g amd64 1:1.2.13.dfsg-1" >"$fake/installed"
cat >"$fake/available" <<'EOF2'
zlib1g amd64 1:1.2.13.dfsg-1
zlib1g arm64 1:1.2.13.dfsg-1
EOF2
cat >"$fake/depends" <<'EOF2'
zlib1g-dev:arm64
  Depends: zlib1g:arm64
zlib1g:arm64
EOF2
cat >"$fake/install_error" <<'EOF2'
The following packages have unmet dependencies:
 zlib1g-dev:arm64 : Depends: zlib1g:arm64 (= 1:1.2.13.dfsg-1) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
EOF2
echo "zlib1g:arm64=1:1.2.13.dfsg-1 zlib1g-dev:arm64" >"$fake/install_ok_with"
run_deps zlib1g-dev:arm64
expect_status 0
expect_said "one version on every architecture: zlib1g:arm64=1:1.2.13.dfsg-1"
expect_calls "update -qq" "install -y -qq --no-remove zlib1g-dev:arm64" \
  "install -y -qq --no-remove --allow-downgrades zlib1g:arm64=1:1.2.13.dfsg-1 zlib1g-dev:arm64"

# A package that is simply not there: apt's reason, and no pins.
machine not_there
echo "E: Unable to locate package libnothing-dev:arm64" >"$fake/install_error"
echo "never" >"$fake/install_ok_with"
run_deps libnothing-dev:arm64
expect_status 1
expect_said "could not install: libnothing-dev:arm64"
expect_said "apt: Unable to locate package libnothing-dev:arm64"
grep -q "one version" "$fake/err" && fail "pinned versions for a missing package"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "deps.sh: all checks passed"
