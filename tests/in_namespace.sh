#!/bin/bash
# Runs a command in user, network and mount namespaces of its own: the
# clock cannot be set there, loopback is the only network (multicast
# included, for SLP), and /etc is an overlay that holds the hosts file
# given and that a test may write to (slp.conf) without touching the real
# one. Users and groups 0 to 65535 are mapped, so that a run started as
# root can switch to user 65534 as it would outside.
# usage: in_namespace.sh HOSTS_FILE COMMAND [ARG...]
set -e
export PATH="$PATH:/usr/sbin:/sbin"
case "$GARVELUX_IN_NAMESPACE" in
"")
    # The maps are written from outside, as root; until then the process
    # inside waits, and then starts afresh as the namespace's root.
    GARVELUX_ETC_LAYER=$(mktemp -d)
    export GARVELUX_ETC_LAYER
    trap 'rm -rf "$GARVELUX_ETC_LAYER"' EXIT
    GARVELUX_IN_NAMESPACE=unmapped unshare -Unm "$0" "$@" &
    inside=$!
    until echo "0 0 65536" 2>/dev/null >"/proc/$inside/gid_map"; do sleep 0.01; done
    echo "0 0 65536" >"/proc/$inside/uid_map"
    wait "$inside"
    ;;
unmapped)
    until grep -q 65536 /proc/self/uid_map; do sleep 0.01; done
    GARVELUX_IN_NAMESPACE=1 exec "$0" "$@"
    ;;
*)
    hosts=$1
    shift
    ip link set lo up
    ip link set lo multicast on
    ip route add 224.0.0.0/4 dev lo
    mkdir "$GARVELUX_ETC_LAYER/upper" "$GARVELUX_ETC_LAYER/work"
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$GARVELUX_ETC_LAYER/upper,workdir=$GARVELUX_ETC_LAYER/work" /etc
    cp "$hosts" /etc/hosts
    chmod 644 /etc/hosts # a run reads it as user 65534
    exec "$@"
    ;;
esac
