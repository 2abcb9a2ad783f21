#!/usr/bin/env bash
# scripts/run.sh as a user meets it (help, option errors, irsim's help, two
# runs at once, a 0-byte image, a missing image, a wrong selector), a
# relative command in scripts/sandbox.sh, and irupdate.service as installed
# checked by systemd-analyze verify.
#
#   tests/e2e/test_rehearsal.sh SOURCE-DIR BUILD-DIR SBINDIR UNITDIR   (as root)
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "needs root (mount namespaces): skipped"; exit 77; }
src=$1 build=$2 sbindir=$3 unitdir=$4
tmp=$(mktemp -d)
trap 'xargs rm -rf <"$tmp/runs"; rm -rf "$tmp"' EXIT
: >"$tmp/runs" # the folders of the runs, one a line
export IRUPDATE_BUILD_DIR=$build
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
# expect STATUS PATTERN... -- RUN.SH-ARGS: the status, and each extended
# regular expression in the output (standard output and error).
expect() {
    local want=$1 status=0 out=$tmp/out.$RANDOM pats=()
    shift
    while [ "$1" != -- ]; do pats+=("$1") && shift; done
    shift
    "$src/scripts/run.sh" "$@" >"$out" 2>&1 || status=$?
    sed -n 's/^run.sh: this run.s folder: //p' "$out" | sort -u >>"$tmp/runs"
    [ "$status" = "$want" ] || fail "run.sh $* ended with $status, not $want: $(cat "$out")"
    for pat in "${pats[@]}"; do
        grep -Eq -- "$pat" "$out" || fail "run.sh $*: no '$pat' in: $(cat "$out")"
    done
}

expect 0 '^usage: scripts/run.sh' -- --help
expect 0 '^usage: scripts/run.sh' -- -h
expect 2 '^run.sh: unknown option --bogus' -- --bogus
expect 2 '^run.sh: --selector needs a value' -- --selector
expect 0 '^usage: irsim' -- -- --help
: >"$tmp/empty.bin"
head -c 300 /dev/urandom >"$tmp/a.bin"
head -c 200 /dev/urandom >"$tmp/b.bin"
expect 0 'warning: ir_4000.bin is empty' '^irsim: transfer empty$' -- "$tmp/empty.bin"
expect 0 'ir_4000.bin left out' '^open file failed$' '^run.sh: note: .* empty transfer' -- --no-4000
expect 1 '^open file failed$' '^irsim: refused-small 3$' -- --no-4000 -- --min-bytes 1
expect 0 '^\.*file path: ir_A000.bin 7$' '^irsim: image match$' ' bytes 200 chunks 4 ok answer 0x608$' -- \
    --4000 "$tmp/a.bin" --A000 "$tmp/b.bin" --selector 7
# Two runs at once: each in its own folder, both whole, nothing else left there.
expect 0 '^irsim: image match$' -- &
expect 0 '^irsim: image match$' -- &
wait -n || fail "first of two runs at once"
wait -n || fail "second of two runs at once"
[ "$(sort -u "$tmp/runs" | wc -l)" = 6 ] || fail "6 runs in 6 folders: $(cat "$tmp/runs")"
while read -r run; do
    left=$(cd "$run/work" && find . ! -name . ! -name ir_4000.bin ! -name ir_A000.bin)
    [ -z "$left" ] || fail "left in $run/work: $left"
done <"$tmp/runs"

# sandbox.sh takes a relative command from the caller's folder.
mkdir "$tmp/work"
printf '#!/bin/sh\npwd\n' >"$tmp/where.sh" && chmod +x "$tmp/where.sh"
[ "$(cd "$tmp" && "$src/scripts/sandbox.sh" - work - ./where.sh)" = "$tmp/work" ] || fail "relative command"
[ -z "$(ls -A "$tmp/work")" ] || fail "sandbox.sh left $(ls -A "$tmp/work")"

# The unit as installed, with its ExecStart in place (in a private mount
# namespace, over the real folder), passes systemd-analyze verify.
DESTDIR=$tmp/root cmake --install "$build" --component irupdate >/dev/null
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --propagation private -- sh -ec \
    'mount --bind "$1$2" "$2" && systemd-analyze verify "$1$3/irupdate.service"' \
    - "$tmp/root" "$sbindir" "$unitdir" || fail "systemd-analyze verify"
"$tmp/root$sbindir/irupdate-run" --help | grep -q '^  124 ' || fail "irupdate-run --help"
echo "all passed"
