#!/usr/bin/env bash
# The main job: update the (simulated) IR microcontroller with irupdate.
# On a fresh Debian 12 machine, as root: installs what is missing, builds
# irupdate and irsim (build/run), then runs the real, unmodified irupdate in
# a private mount namespace (scripts/sandbox.sh) whose /dev/ttyAMA1 is a pty
# owned by irsim, the microcontroller simulator, and whose /dev/mem is a
# sparse file. See --help.
set -euo pipefail
# shellcheck source=scripts/irsim_pty.sh
. "$(dirname "$0")/irsim_pty.sh"
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    cat <<'EOT'
usage: scripts/run.sh [OPTIONS] [IMAGE] [-- IRSIM-OPTIONS...]

Rehearses a firmware update: irsim plays the microcontroller on a pty, and
the real irupdate runs against it in a sandbox. IMAGE (default: a 16 KiB demo
image) is offered as both ir_4000.bin and ir_A000.bin; the microcontroller
asks for one of them (irsim --selector).

options:
  --4000 FILE     offer FILE as ir_4000.bin
  --A000 FILE     offer FILE as ir_A000.bin
  --no-4000       leave ir_4000.bin out (rehearses a missing image)
  --no-A000       leave ir_A000.bin out
  --selector N    the image asked for: 2 ir_4000.bin (irsim's default),
                  anything else ir_A000.bin (a wrong selector asks for the
                  other name); passed on to irsim
  -h, --help      this text
  --              the rest goes to irsim (see: scripts/run.sh -- --help)

e.g.  scripts/run.sh my.bin -- --corrupt-rx 0.01 --seed 7 --baud 115200
      scripts/run.sh --no-4000 -- --min-bytes 1    # missing image, refused

Each run has a folder of its own, out/run/<date>-<time>.<id>/ (printed at the
start and at the end), so runs may go on side by side: the image folder
work/, var/ (/var/tmpfs: success.log), received.bin and irsim.log. Remove
out/run/ when you like. A 0-byte image is warned about; irsim reports an
empty transfer in its summary ("irsim: transfer empty").

environment:
  IRUPDATE_BUILD_DIR  use the irupdate and irsim already built in this CMake
                      build folder; install and build nothing

exit status: irsim's (0 when the microcontroller reported success and, if
the image asked for was offered, received exactly that image; 1 otherwise);
2 for bad options or when the rehearsal could not start.
EOT
}
fail() {
    echo "run.sh: $*" >&2
    exit 2
}
image_of() { # FILE: its absolute path, after checking it
    [ -f "$1" ] || fail "no such image: $1"
    readlink -f -- "$1"
}

image="" img_4000="" img_A000="" no_4000=0 no_A000=0
sim_args=()
while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --4000 | --A000 | --selector)
        [ $# -ge 2 ] || fail "$1 needs a value (see --help)"
        case "$1" in
        --4000) img_4000=$(image_of "$2") ;;
        --A000) img_A000=$(image_of "$2") ;;
        *) sim_args+=(--selector "$2") ;;
        esac
        shift
        ;;
    --no-4000) no_4000=1 ;;
    --no-A000) no_A000=1 ;;
    --)
        shift
        sim_args+=("$@")
        break
        ;;
    -*) fail "unknown option $1 (see --help; irsim's options go after --)" ;;
    *)
        [ -z "$image" ] || fail "one IMAGE at most (see --help)"
        image=$(image_of "$1")
        ;;
    esac
    shift
done

if [ "$(id -u)" != 0 ]; then
    fail "needs root (mount namespace for the sandbox, packages)"
fi

if [ -n "${IRUPDATE_BUILD_DIR:-}" ]; then
    build=$(readlink -f "$IRUPDATE_BUILD_DIR")
else
    build=$root/build/run
    # One installation and build at a time; the runs themselves go on side by side.
    mkdir -p "$root/build"
    exec 9>"$root/build/.run.lock"
    flock 9
    scripts/deps.sh base
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target irupdate irsim >/dev/null
    exec 9>&-
fi
irupdate=$build/app/irupdate
irsim=$build/tools/irsim/irsim
if [ ! -x "$irupdate" ] || [ ! -x "$irsim" ]; then
    fail "no irupdate and irsim built in $build"
fi

# irsim's own help, or a mistake in its options: nothing to rehearse.
for arg in "${sim_args[@]}"; do
    [ "$arg" != --help ] || exec "$irsim" --help
done

# The image the microcontroller will ask for: irsim's last --selector decides.
selector=2
for ((i = 0; i < ${#sim_args[@]}; i++)); do
    case "${sim_args[i]}" in
    --selector) selector=${sim_args[i + 1]:-} ;;
    --selector=*) selector=${sim_args[i]#--selector=} ;;
    esac
done
wanted=ir_A000.bin
[ "$(printf '%d' "$selector" 2>/dev/null)" != 2 ] || wanted=ir_4000.bin

mkdir -p "$root/out/run"
out=$(mktemp -d "$root/out/run/$(date +%Y%m%d-%H%M%S).XXXXXX")
mkdir "$out/work" "$out/var"
echo "run.sh: this run's folder: $out"
if [ -z "$image" ] && { [ -z "$img_4000" ] && [ "$no_4000" = 0 ] ||
    [ -z "$img_A000" ] && [ "$no_A000" = 0 ]; }; then
    image=$out/demo.bin
    head -c 16384 /dev/urandom >"$image"
    echo "run.sh: demo image $image (16384 bytes)"
fi
[ -n "$img_4000" ] || img_4000=$image
[ -n "$img_A000" ] || img_A000=$image
[ "$no_4000" = 0 ] || img_4000=""
[ "$no_A000" = 0 ] || img_A000=""
expect=()
for name in ir_4000.bin ir_A000.bin; do
    src=$img_4000
    [ "$name" = ir_4000.bin ] || src=$img_A000
    if [ -z "$src" ]; then
        echo "run.sh: $name left out: irupdate will find no such image"
        continue
    fi
    cp "$src" "$out/work/$name"
    if [ ! -s "$src" ]; then
        echo "run.sh: warning: $name is empty ($src, 0 bytes): irupdate sends no chunk, only the end record"
    fi
    [ "$name" != "$wanted" ] || expect=(--expect "$src")
done
echo "run.sh: the microcontroller will ask for $wanted (selector $selector)"

sim_pid=""
tool_pid=""
# On any exit: whatever still runs is stopped.
trap 'for pid in $tool_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done' EXIT
trap 'exit 130' INT TERM

: >"$out/irsim.log" # exists before the loop below reads it
"$irsim" --exit-after-result "${expect[@]}" --out "$out/received.bin" "${sim_args[@]}" \
    >"$out/irsim.log" 2>&1 &
sim_pid=$!
pty=$(irsim_wait_pty "$out/irsim.log" "$sim_pid")
if [ -z "$pty" ]; then
    cat "$out/irsim.log" >&2
    fail "irsim did not start"
fi

echo "run.sh: irupdate on $pty (as /dev/ttyAMA1); one dot per command sent"
scripts/sandbox.sh "$pty" "$out/work" "$out/var" "$irupdate" &
tool_pid=$! # the sandbox execs its way into irupdate: this is the tool's pid
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
grep -E '^irsim: (end-record|verdict|image|chunks|chunk-sizes|checksum|transfer|empty-transfers|refused-small|start-commands|faults|transfer-ms|exit)' \
    "$out/irsim.log" || true
if [ -f "$out/var/success.log" ]; then
    echo "run.sh: success record $out/var/success.log: $(od -An -tx1 -N4 "$out/var/success.log")"
fi
if grep -qx 'irsim: transfer empty' "$out/irsim.log" && grep -qx 'irsim: verdict success' "$out/irsim.log"; then
    echo "run.sh: note: the microcontroller took an empty transfer as a success; a real one" \
        "may not (irsim --min-bytes N refuses it), and irupdate-run would report status 3" \
        "if the image was missing"
fi
echo "run.sh: full simulator log $out/irsim.log"
echo "run.sh: this run's folder: $out"
exit "$sim_status"
