#!/usr/bin/env bash
# The main job: update the (simulated) IR microcontroller with irupdate.
#
#   ./scripts/run.sh [IMAGE] [-- IRSIM-OPTIONS...]
#
# On a fresh Debian 12 machine, as root: installs what is missing, builds
# irupdate and irsim (build/run), then runs the real, unmodified irupdate in
# a private mount namespace (scripts/sandbox.sh) whose /dev/ttyAMA1 is a pty
# owned by irsim, the microcontroller simulator, and whose /dev/mem is a
# sparse file. IMAGE (default: a 16 KiB demo image) is offered as both
# ir_4000.bin and ir_A000.bin; options after -- go to irsim, e.g.
#
#   ./scripts/run.sh my.bin -- --corrupt-rx 0.01 --seed 7 --baud 115200
#
# (see build/run/tools/irsim/irsim --help). Everything the run leaves is in
# out/run/: the image folder, var/success.log, received.bin, irsim.log.
# Exit status: irsim's (0 when the microcontroller reported success and
# received exactly the image).
set -euo pipefail
# shellcheck source=scripts/irsim_pty.sh
. "$(dirname "$0")/irsim_pty.sh"
cd "$(dirname "$0")/.."
root=$PWD

image=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
    image=$(readlink -f "$1")
    shift
    [ -f "$image" ] || { echo "run.sh: no such image: $image" >&2; exit 2; }
fi
if [ $# -gt 0 ]; then
    if [ "$1" != "--" ]; then
        echo "usage: $0 [IMAGE] [-- IRSIM-OPTIONS...]" >&2
        exit 2
    fi
    shift
fi
sim_args=("$@")

if [ "$(id -u)" != 0 ]; then
    echo "run.sh: needs root (mount namespace for the sandbox, packages)" >&2
    exit 2
fi

scripts/deps.sh base
cmake -S "$root" -B build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/run -j "$(nproc)" --target irupdate irsim >/dev/null
irupdate=$root/build/run/app/irupdate
irsim=$root/build/run/tools/irsim/irsim

out=$root/out/run
rm -rf "$out"
mkdir -p "$out/work" "$out/var"
if [ -z "$image" ]; then
    image=$out/demo.bin
    head -c 16384 /dev/urandom >"$image"
    echo "run.sh: demo image $image (16384 bytes)"
fi
# The microcontroller names the image it wants: offer it under both names.
cp "$image" "$out/work/ir_4000.bin"
cp "$image" "$out/work/ir_A000.bin"

sim_pid=""
tool_pid=""
# On any exit: whatever still runs is stopped.
trap 'for pid in $tool_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done' EXIT
trap 'exit 130' INT TERM

: >"$out/irsim.log" # exists before the loop below reads it
"$irsim" --exit-after-result --expect "$image" --out "$out/received.bin" "${sim_args[@]}" \
    >"$out/irsim.log" 2>&1 &
sim_pid=$!
pty=$(irsim_wait_pty "$out/irsim.log" "$sim_pid")
if [ -z "$pty" ]; then
    cat "$out/irsim.log" >&2
    echo "run.sh: irsim did not start" >&2
    exit 2
fi

echo "run.sh: irupdate on $pty (as /dev/ttyAMA1); one dot per command sent"
scripts/sandbox.sh "$pty" "$out/work" "$out/var" "$irupdate" &
tool_pid=$!  # the sandbox execs its way into irupdate: this is the tool's pid
# The tool ends by itself after a verdict. Should irsim end first (--timeout,
# --silent and a signal), the tool would wait for ever: it then gets a
# moment to finish and is stopped.
wait -n "$tool_pid" "$sim_pid" || true
if kill -0 "$tool_pid" 2>/dev/null; then
    for _ in $(seq 20); do
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$tool_pid" 2>/dev/null && echo && echo "run.sh: irsim has ended; irupdate stopped"
fi
wait "$tool_pid" 2>/dev/null || true
tool_pid=""
echo
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""

echo "--- irsim (the microcontroller) ---"
grep -E '^irsim: (end-record|verdict|image|chunks|chunk-sizes|checksum|start-commands|faults|transfer-ms|exit)' \
    "$out/irsim.log" || true
if [ -f "$out/var/success.log" ]; then
    echo "run.sh: success record $out/var/success.log: $(od -An -tx1 -N4 "$out/var/success.log")"
fi
echo "run.sh: full simulator log $out/irsim.log"
exit "$sim_status"
