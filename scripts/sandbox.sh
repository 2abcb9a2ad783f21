#!/usr/bin/env bash
# Runs a command (irupdate, unmodified) in a private mount namespace laid out
# like the board, without touching the host:
#   /dev           a fresh tmpfs; the host's /dev is detached, and the command
#                  runs without CAP_SYS_RAWIO
#   /dev/ttyAMA1   the given serial device (e.g. irsim's pty); TTY - : none
#   /dev/mem       a sparse file, so the pin routing writes into nothing real;
#                  --no-mem: none
#   /dev/log       the host's system log socket when there is one, so the
#                  command's log records reach the host's log; --log SOCKET:
#                  that socket instead; --log -: none
#   /dev/null      the host's
#   /var/tmpfs     the given folder; VARDIR - : none
#   working dir    the given folder (where ir_4000.bin / ir_A000.bin are)
# Needs root (unshare --mount, mount, setpriv). Nothing is created outside the
# namespace: what it needs lives in tmpfs mounts that vanish with it.
#
#   scripts/sandbox.sh [--no-mem] [--log SOCKET|-] TTY|- WORKDIR VARDIR|- COMMAND [ARGS...]
#
# A relative COMMAND (one with a slash) is taken from the caller's folder. The
# command replaces the shell (exec), so its exit status, its signals and its
# resource usage are the caller's to see, under the caller's pid.
set -euo pipefail

if [ "${IRUPDATE_SANDBOX_INNER:-}" != 1 ]; then
    exec env IRUPDATE_SANDBOX_INNER=1 unshare --mount --propagation private -- "$0" "$@"
fi
unset IRUPDATE_SANDBOX_INNER

usage() {
    echo "usage: $0 [--no-mem] [--log SOCKET|-] TTY|- WORKDIR VARDIR|- COMMAND [ARGS...]" >&2
    exit 2
}
mem=1
log=/dev/log
while [ $# -gt 0 ]; do
    case "$1" in
    --no-mem) mem=0 ;;
    --log)
        [ $# -ge 2 ] || usage
        log=$2
        shift
        ;;
    *) break ;;
    esac
    shift
done
[ $# -ge 4 ] || usage
tty=-
[ "$1" = - ] || tty=$(readlink -f "$1")
work=$(readlink -f "$2")
vardir=-
[ "$3" = - ] || vardir=$(readlink -f "$3")
shift 3
case "$1" in
/*) ;;
*/*) set -- "$PWD/$1" "${@:2}" ;;
esac
if [ "$log" != - ]; then
    if [ -S "$log" ]; then
        log=$(readlink -f "$log")
    elif [ "$log" = /dev/log ]; then
        log=- # the host has no system log socket: nothing to pass in
    else
        echo "$0: $log is not a socket" >&2
        exit 2
    fi
fi

# /var becomes a private tmpfs, so /var/tmpfs can exist (or not) without
# creating anything on the host; the new /dev is laid out in it first.
mount -t tmpfs -o size=1m,mode=755 irupdate-var /var
stage=/var/.dev
mkdir "$stage"
mount -t tmpfs -o size=1m,mode=755 irupdate-dev "$stage"
bind_file() { # source, name in the new /dev
    touch "$stage/$2"
    mount --bind "$1" "$stage/$2"
}
bind_file /dev/null null
[ "$tty" = - ] || bind_file "$tty" ttyAMA1
[ "$log" = - ] || bind_file "$log" log
# Larger than the highest register page the pin routing maps; sparse, so it
# costs nothing until written.
[ "$mem" = 0 ] || truncate -s 512M "$stage/mem"

# Detach the host's /dev from this namespace (not just cover it), then move
# the new one, with what is bound in it, into its place.
umount -l /dev 2>/dev/null || true
mount --move "$stage" /dev
rmdir "$stage"
# The one thing that must never happen: the command reaching real memory.
if [ -c /dev/mem ]; then
    echo "$0: /dev/mem is still a device here" >&2
    exit 2
fi

if [ "$vardir" != - ]; then
    mkdir /var/tmpfs
    mount --bind "$vardir" /var/tmpfs
fi

cd "$work"
# Without CAP_SYS_RAWIO no real memory device could be opened even if one
# were reachable.
exec setpriv --bounding-set -sys_rawio -- "$@"
