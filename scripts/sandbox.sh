#!/usr/bin/env bash
# Runs a command (irupdate, unmodified) in a private mount namespace laid out
# like the board, without touching the host:
#   /dev           a fresh tmpfs; the host's /dev is detached, and the command
#                  runs without CAP_SYS_RAWIO
#   /dev/ttyAMA1   the given serial device (e.g. irsim's pty); TTY - : none
#   /dev/mem       a sparse file, so the pin routing writes into nothing real;
#                  --no-mem: none
#   /dev/null      the host's
#   /var/tmpfs     the given folder; VARDIR - : none
#   working dir    the given folder (where ir_4000.bin / ir_A000.bin are)
# Needs root (unshare --mount, mount, setpriv).
#
#   scripts/sandbox.sh [--no-mem] TTY|- WORKDIR VARDIR|- COMMAND [ARGS...]
#
# The command replaces the shell (exec), so its exit status, its signals and
# its resource usage are the caller's to see, under the caller's pid.
set -euo pipefail

if [ "${IRUPDATE_SANDBOX_INNER:-}" != 1 ]; then
    exec env IRUPDATE_SANDBOX_INNER=1 unshare --mount --propagation private -- "$0" "$@"
fi
unset IRUPDATE_SANDBOX_INNER

mem=1
if [ "${1:-}" = --no-mem ]; then
    mem=0
    shift
fi
if [ $# -lt 4 ]; then
    echo "usage: $0 [--no-mem] TTY|- WORKDIR VARDIR|- COMMAND [ARGS...]" >&2
    exit 2
fi
tty=-
[ "$1" = - ] || tty=$(readlink -f "$1")
work=$(readlink -f "$2")
vardir=-
[ "$3" = - ] || vardir=$(readlink -f "$3")
shift 3

# Staging area private to this namespace: what must survive the new /dev is
# bound here first. The tmpfs vanishes with the namespace.
stage="$work/.sandbox"
mkdir -p "$stage"
mount -t tmpfs -o size=1m,mode=700 irupdate-stage "$stage"
touch "$stage/null"
mount --bind /dev/null "$stage/null"
if [ "$tty" != - ]; then
    touch "$stage/tty"
    mount --bind "$tty" "$stage/tty"
fi
# Larger than the highest register page the pin routing maps; sparse, so it
# costs nothing until written.
[ "$mem" = 0 ] || truncate -s 512M "$stage/mem"

# Detach the host's /dev from this namespace (not just cover it), then lay a
# fresh one.
umount -l /dev 2>/dev/null || true
mount -t tmpfs -o size=1m,mode=755 irupdate-dev /dev
touch /dev/null
mount --bind "$stage/null" /dev/null
if [ "$tty" != - ]; then
    touch /dev/ttyAMA1
    mount --bind "$stage/tty" /dev/ttyAMA1
fi
if [ "$mem" = 1 ]; then
    touch /dev/mem
    mount --bind "$stage/mem" /dev/mem
fi
# The one thing that must never happen: the command reaching real memory.
if [ -c /dev/mem ]; then
    echo "$0: /dev/mem is still a device here" >&2
    exit 2
fi

# /var itself becomes a private tmpfs, so /var/tmpfs can exist (or not)
# without creating anything on the host.
mount -t tmpfs -o size=1m,mode=755 irupdate-var /var
if [ "$vardir" != - ]; then
    mkdir /var/tmpfs
    mount --bind "$vardir" /var/tmpfs
fi

cd "$work"
# Without CAP_SYS_RAWIO no real memory device could be opened even if one
# were reachable.
exec setpriv --bounding-set -sys_rawio -- "$@"
