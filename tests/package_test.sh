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
trap '[ ! -d "$work/gnupg" ] || GNUPGHOME=$work/gnupg gpgconf --kill gpg-agent; rm -rf "$work"' EXIT
syntax=$'\r\n GARVELUX version '$version$', sets this clock from a NetWare server\r\n\r\n\nSyntax: GARVELUX <Server_Name> [/L<LogName>]\r\n        GARVELUX --check [-w SECONDS] [-c SECONDS] <Server_Name>\r\n'
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

DESTDIR=$work/dest cmake --install "$build_dir" --prefix /usr/local >/dev/null
prefix=$work/dest/usr/local
check "installed binary" test -x "$prefix/bin/garvelux"
check "installed manual, compressed" test -f "$prefix/share/man/man1/garvelux.1.gz"
check "installed binary answers the syntax request" runs_syntax "$prefix/bin/garvelux"
check "installed binary tells its version" tells_version "$prefix/bin/garvelux"
check "installed service runs the installed binary" \
    grep -qx 'ExecStart=/usr/local/bin/garvelux /L/var/log/garvelux.log -- %i' \
    "$prefix/lib/systemd/system/garvelux@.service"

# The units, checked offline in a root that holds the system's units and ours.
system=$work/system
mkdir -p "$system/usr/lib/systemd/system"
cp -r /usr/lib/systemd/system/. "$system/usr/lib/systemd/system/"
DESTDIR=$system cmake --install "$build_dir" --prefix /usr >/dev/null
analyze() {
    MANPATH=$system/usr/share/man systemd-analyze --root="$system" "$@" >/dev/null
}
check "the units verify" analyze verify garvelux@fs1.service garvelux@fs1.timer
# 1.9: what remains is the clock itself (CAP_SYS_TIME, clock_settime) and the
# network, on any address, that a NetWare server is reached over.
check "the service rates an exposure of 1.9 or lower" \
    analyze security --offline=true --threshold=19 garvelux@fs1.service

# The service's command line for an instance, expanded as systemd expands
# it (%i as written, %I unescaped), run where /usr/bin holds the installed
# program and /var/log is empty: the server it asks is the instance's.
asks() { # instance, server
    local line
    line=$(sed -n 's/^ExecStart=//p' "$system/usr/lib/systemd/system/garvelux@.service")
    line=${line//%i/$1}
    line=${line//%I/$(systemd-escape -u -- "$1")}
    [[ "$(unshare -rmn sh -c 'mount -t tmpfs none /var/log && mount --bind "$0" /usr/bin &&
        exec $1' "$system/usr/bin" "$line")" == *"NWCCOpenConnByName($2)"* ]]
}
check "garvelux@fs-1 asks FS-1" asks fs-1 FS-1
check "garvelux@-fs1 asks -FS1" asks -fs1 -FS1
# Two forced rotations of a log in namespaces of their own, the log owned by
# the user garvelux where it exists, or by root (a root run's, where no
# sysusers made the user).
rotations() { # the log's owner
    "$source_dir/tests/in_namespace.sh" /dev/null sh -c '
        [ "$1" = root ] || echo "garvelux:x:64999:64999::/:/usr/sbin/nologin" >>/etc/passwd
        mount -t tmpfs -o mode=755 none /var/log && cd /var/log || exit
        install -m 640 -o "$1" -g adm /dev/null garvelux.log
        logrotate -d "$0" 2>&1 | grep -o "weekly (8 rotations)"
        for text in first second; do
            echo $text >>garvelux.log && logrotate -f -s state "$0" || exit
        done
        stat -c "%n %a %U %G" garvelux.log* && cat garvelux.log.1 && zcat garvelux.log.2.gz' \
        "$system/etc/logrotate.d/garvelux" "$1"
}
for owner in garvelux root; do
    check "logrotate: weekly, 8 kept, compressed a rotation late, made anew as $owner's" \
        test "$(rotations $owner)" == "$(printf '%s\n' 'weekly (8 rotations)' \
            garvelux.log{,.1,.2.gz}" 640 $owner adm" second first)"
done

# The packages, the RPM signed with a throwaway key, built under a umask
# that would take every right from group and others.
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key throwaway@example.invalid ed25519 sign never 2>/dev/null
gpg --armor --export throwaway@example.invalid >"$work/key.asc"
(umask 077 && cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work/packages" \
    -D CPACK_GARVELUX_RPM_SIGN_KEY=throwaway@example.invalid >/dev/null)
deb=$(echo "$work"/packages/garvelux_"$version"_*.deb)
rpm=$(echo "$work"/packages/garvelux-"$version"-1.*.rpm)
check "package name, version and section" \
    test "$(dpkg-deb -f "$deb" Package Version Section)" == $'Package: garvelux\nVersion: '$version$'\nSection: admin'
check "package architecture" test "$(dpkg-deb -f "$deb" Architecture)" == "$(dpkg --print-architecture)"
check "package recommends logrotate" test "$(dpkg-deb -f "$deb" Recommends)" == logrotate
check "package contents" test "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$')" == \
    "$(printf './%s\n' etc/logrotate.d/garvelux usr/bin/garvelux \
        usr/lib/systemd/system/garvelux@.service usr/lib/systemd/system/garvelux@.timer \
        usr/lib/sysusers.d/garvelux.conf usr/lib/tmpfiles.d/garvelux.conf \
        usr/share/doc/garvelux/changelog.gz usr/share/doc/garvelux/copyright \
        usr/share/man/man1/garvelux.1.gz)"
check "lintian finds no error and no warning" \
    lintian --allow-root --fail-on error,warning "$deb"
dpkg-deb -x "$deb" "$work/root"
check "packaged binary answers the syntax request" runs_syntax "$work/root/usr/bin/garvelux"

# The maintainer scripts as dpkg runs them, in namespaces where
# /etc/systemd/system holds two enabled instances and another timer, where
# systemd runs when the first argument is "system", and where the system's
# tools only record their calls: the links left, then the calls.
dpkg-deb -e "$deb" "$work/control"
mkdir "$work/tools"
recorder() { # the file that records the calls, the recorder's file; the tool named by FAILING fails
    printf '#!/bin/sh\necho "${0##*/} $*" >>"%s"\n[ "${0##*/}" != "$FAILING" ]\n' "$1" >"$2" && chmod +x "$2"
}
recorder "$work/calls" "$work/tools/systemctl"
for tool in deb-systemd-invoke systemd-sysusers systemd-tmpfiles; do ln -s systemctl "$work/tools/$tool"; done
other=./timers.target.wants/other.timer
kept=$'./multi-user.target.wants/garvelux@fs-2.timer\n./timers.target.wants/garvelux@fs1.timer\n'$other
after_scripts() { # "system" or "", the scripts run
    rm -f "$work/calls"
    PATH=$work/tools:$PATH unshare -rm sh -c '
        mount -t tmpfs none /run && mkdir -p "/run/systemd/$1" &&
        mount -t tmpfs none /etc/systemd/system && cd /etc/systemd/system || exit
        for link in $3; do mkdir -p "${link%/*}" && ln -s /dev/null "$link" || exit; done
        (cd "$0" && eval "$2") && find . -type l | sort' "$work/control" "$1" "$2" "$kept"
    cat "$work/calls" 2>/dev/null
}
check "removal stops every timer, disables it, and systemd forgets the units" \
    test "$(after_scripts system './prerm remove && ./postrm remove')" == \
    "$other"$'\ndeb-systemd-invoke stop garvelux@*.timer\nsystemctl --system daemon-reload'
check "removal without systemd disables every timer" \
    test "$(after_scripts "" './prerm remove && ./postrm remove')" == "$other"
check "an upgrade keeps the timers; systemd reads the new units" \
    test "$(after_scripts system './prerm upgrade 0 && ./postrm upgrade 0 && ./postinst configure 0')" == \
    "$kept"$'\nsystemd-sysusers garvelux.conf\nsystemd-tmpfiles --create garvelux.conf
systemctl --system daemon-reload'
# dpkg's purge after removal, where /var/log holds the log, its rotations
# (numbered, and dated by a site's dateext) and the logs of others (one whose
# name begins as ours).
purged() {
    unshare -rm sh -c 'mount -t tmpfs none /var/log && cd /var/log &&
        touch garvelux.log garvelux.log.1 garvelux.log.2.gz garvelux.log-20261201.gz \
            garvelux.log.old syslog &&
        (cd "$0" && ./postrm purge) && ls' "$work/control"
}
check "purge removes the log and its rotations, no other log" \
    test "$(purged)" == $'garvelux.log.old\nsyslog'
check "installed into another root, the user and the log are made there" \
    test "$(after_scripts system 'DPKG_ROOT=/target ./postinst configure')" == "$kept"$'
systemd-sysusers --root=/target garvelux.conf\nsystemd-tmpfiles --root=/target --create garvelux.conf'
check "a log that cannot be made fails no install" \
    test "$(after_scripts "" 'FAILING=systemd-tmpfiles ./postinst configure')" == \
    "$kept"$'\nsystemd-sysusers garvelux.conf\nsystemd-tmpfiles --create garvelux.conf'

# rpm and rpmlint, with the key in a database of their own (HOME holds
# rpm's macros); installs --force-debian, where Debian's rpm would rather
# see alien.
export HOME=$work
echo "%_dbpath $work/rpmdb" >"$work/.rpmmacros"
rpmkeys --import "$work/key.asc"
rpmlint_warnings() {
    rpmlint -r "$source_dir/packaging/rpm/rpmlintrc" "$rpm" >"$work/rpmlint" &&
        sed -n 's/^garvelux[^ ]*: W: //p' "$work/rpmlint" | sort
}
check "rpmlint finds no error, and only the warnings that packaging/rpm explains" \
    test "$(rpmlint_warnings)" == "$(sed -n 's/^| `\(.*\)` |.*/\1/p' "$source_dir/packaging/rpm/README.md" | sort)"
check "RPM contents, modes and kinds (c config, n noreplace, d doc, l licence)" test "$(rpm -qp \
    --qf '[%{FILEFLAGS:fflags} %{FILEMODES:perms} %{FILEUSERNAME} %{FILEGROUPNAME} %{FILENAMES}\n]' \
    "$rpm")" == "cn -rw-r--r-- root root /etc/logrotate.d/garvelux
 -rwxr-xr-x root root /usr/bin/garvelux
 -rw-r--r-- root root /usr/lib/systemd/system/garvelux@.service
 -rw-r--r-- root root /usr/lib/systemd/system/garvelux@.timer
 -rw-r--r-- root root /usr/lib/sysusers.d/garvelux.conf
 -rw-r--r-- root root /usr/lib/tmpfiles.d/garvelux.conf
 drwxr-xr-x root root /usr/share/doc/garvelux
d -rw-r--r-- root root /usr/share/doc/garvelux/CHANGELOG.md
 drwxr-xr-x root root /usr/share/licenses/garvelux
l -rw-r--r-- root root /usr/share/licenses/garvelux/LICENSE
d -rw-r--r-- root root /usr/share/man/man1/garvelux.1.gz"
check "RPM requires sonames and /bin/sh alone" test -z "$(rpm -qpR "$rpm" | grep -Ev \
    '^(lib[^ ]+\.so\.[0-9]+\(.*|/bin/sh|rpmlib\(.*|rtld\(GNU_HASH\)|config\(garvelux\) = .*)$')"
check "RPM changes: this project's, by its maintainer" \
    test "$(rpm -qp --qf '%{CHANGELOGNAME}' "$rpm")" == "$(dpkg-deb -f "$deb" Maintainer) - $version-1"
# Roots that hold only the shell that rpm runs the scriptlets with, and the
# programs named, with their libraries, and that trust the throwaway key.
make_root() { # folder, programs
    local root=$1 file
    shift
    for file in /bin/sh "$@" $(ldd /bin/sh "$@" | grep -o '/[^ :]*'); do
        mkdir -p "$root${file%/*}" && cp -L "$file" "$root$file"
    done
    mkdir "$root/dev" && mknod -m 666 "$root/dev/null" c 1 3
    rpmkeys --root "$root" --import "$work/key.asc"
}
make_root "$work/bare"
bare_rpm() { quiet rpm --force-debian --root "$work/bare" --nodeps "$@"; }
check "rpm installs into an empty root, every file in place, no scriptlet failing" bare_rpm -i "$rpm"
check "RPM installed as built" test -z "$(rpm --root "$work/bare" -V --nodeps garvelux)"
check "the RPM's program is the .deb's" cmp "$work/root/usr/bin/garvelux" "$work/bare/usr/bin/garvelux"
bare_cycle() { bare_rpm -U --replacepkgs "$rpm" && bare_rpm -e garvelux; }
check "rpm upgrades it there, then removes it" bare_cycle
# Install, upgrade and removal under a running systemd (/run/systemd/system)
# whose systemctl records its calls, with systemd's own user and log makers,
# and an enabled timer: the calls, then the log's mode, owner and group.
sd=$work/systemd
make_root "$sd" /usr/bin/systemd-sysusers /usr/bin/systemd-tmpfiles
recorder /calls "$sd/usr/bin/systemctl"
mkdir -p "$sd/proc" "$sd/run/systemd/system" "$sd/etc/systemd/system/timers.target.wants"
ln -s /usr/lib/systemd/system/garvelux@.timer "$sd/etc/systemd/system/timers.target.wants/garvelux@fs1.timer"
id_in() { awk -F: -v name="$2" '$1 == name {print $3}' "$sd/etc/$1"; }
lifecycle() {
    unshare -m sh -c 'mount -t proc proc "$0/proc" && rpm="rpm --force-debian --root $0 --nodeps" &&
        $rpm -i "$1" && $rpm -U --replacepkgs "$1" && $rpm -e garvelux' "$sd" "$rpm" &&
        cat "$sd/calls" && stat -c '%a %u %g' "$sd/var/log/garvelux.log"
}
check "RPM scriptlets: user, log; timers restarted on upgrade, stopped, disabled on removal; log kept" \
    test "$(lifecycle)" == "$(printf 'systemctl %s\n' daemon-reload daemon-reload daemon-reload \
        'try-restart garvelux@*.timer' 'stop garvelux@*.timer' \
        '--no-reload disable garvelux@fs1.timer' daemon-reload)
640 $(id_in passwd garvelux) $(id_in group adm)"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
