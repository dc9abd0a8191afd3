#!/bin/bash
# The manual renders without warnings; the install tree and the Debian
# package hold the program and its manual, and the installed program runs
# and names the project's version, as the package does.
# usage: package_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
source_dir=$1
build_dir=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
syntax=$'\r\n GARVELUX version '$version$', sets this clock from a NetWare server\r\n\r\n\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n'
checks=0
failures=0
check() { # name, then the command that must succeed
    local name=$1
    shift
    checks=$((checks + 1))
    if "$@"; then echo "ok: $name"; else echo "FAILED: $name"; failures=$((failures + 1)); fi
}
quiet() { # the command's standard error must stay empty
    local errors
    errors=$("$@" 2>&1 >/dev/null)
    [ -z "$errors" ] || { echo "$errors"; return 1; }
}
runs_syntax() {
    [ "$("$1" '?'; echo "exit $?")" == "${syntax}exit 0" ]
}
tells_version() {
    [ "$("$1" --version | tail -n 2; echo "exit $?")" == \
      "garvelux $version"$'\r\nCopyright (c) 2026 the GARVELUX developers; ISC licence.\r\nexit 0' ]
}

check "groff renders the manual without warnings" quiet groff -man -t -ww -z "$source_dir/doc/garvelux.1"
check "man renders the manual without warnings" \
    quiet env MANWIDTH=80 man --warnings -l "$source_dir/doc/garvelux.1"

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
check "installed binary" test -x "$work/prefix/bin/garvelux"
check "installed manual, compressed" test -f "$work/prefix/share/man/man1/garvelux.1.gz"
check "installed binary answers the syntax request" runs_syntax "$work/prefix/bin/garvelux"
check "installed binary tells its version" tells_version "$work/prefix/bin/garvelux"

# The units, checked offline in a root that holds the system's units and ours.
system=$work/system
mkdir -p "$system/usr/lib/systemd/system"
cp -r /usr/lib/systemd/system/. "$system/usr/lib/systemd/system/"
cmake --install "$build_dir" --prefix "$system/usr" >/dev/null
analyze() {
    MANPATH=$system/usr/share/man systemd-analyze --root="$system" "$@" >/dev/null
}
check "the units verify" analyze verify garvelux@fs1.service garvelux@fs1.timer
# 1.9: what remains is the clock itself (CAP_SYS_TIME, clock_settime) and the
# network, on any address, that a NetWare server is reached over.
check "the service rates an exposure of 1.9 or lower" \
    analyze security --offline=true --threshold=19 garvelux@fs1.service

(cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(echo "$work"/deb/garvelux_"$version"_*.deb)
check "package name, version and section" \
    test "$(dpkg-deb -f "$deb" Package Version Section)" == $'Package: garvelux\nVersion: '$version$'\nSection: admin'
check "package architecture" test "$(dpkg-deb -f "$deb" Architecture)" == "$(dpkg --print-architecture)"
check "package contents" test "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$')" == \
    "$(printf './usr/%s\n' bin/garvelux lib/systemd/system/garvelux@.service \
        lib/systemd/system/garvelux@.timer lib/sysusers.d/garvelux.conf \
        lib/tmpfiles.d/garvelux.conf share/doc/garvelux/changelog.gz \
        share/doc/garvelux/copyright share/man/man1/garvelux.1.gz)"
check "lintian finds no error and no warning" \
    lintian --allow-root --fail-on error,warning "$deb"
dpkg-deb -x "$deb" "$work/root"
check "packaged binary answers the syntax request" runs_syntax "$work/root/usr/bin/garvelux"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
