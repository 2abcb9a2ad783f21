#!/usr/bin/env bash
# Times a whole update of a 40,000-byte image: the real irupdate in the
# sandbox against irsim, once unpaced and once paced at 115200 bit/s (10 bits
# a byte, both ways). Prints per run: seconds (the tool's whole run, and the
# transfer from ready answer to end record), payload bytes/s, ms per chunk,
# efficiency against the 11,520 bytes/s line, the tool's CPU seconds and CPU
# share of wall time, and its peak RSS.
#
#   bench/bench_update.sh [ROUNDS]     as root; ROUNDS per mode (default 1)
set -euo pipefail
# shellcheck source=scripts/irsim_pty.sh
. "$(dirname "$0")/../scripts/irsim_pty.sh"
cd "$(dirname "$0")/.."
root=$PWD
rounds=${1:-1}

if [ "$(id -u)" != 0 ]; then
    echo "bench_update.sh: needs root (mount namespace for the sandbox)" >&2
    exit 2
fi
scripts/deps.sh base
command -v /usr/bin/time >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends time >/dev/null
}
cmake -S "$root" -B build/bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target irupdate irsim >/dev/null
irupdate=$root/build/bench/app/irupdate
irsim=$root/build/bench/tools/irsim/irsim

size=40000
line_bytes_per_s=11520
out=$(mktemp -d /tmp/irupdate-bench-XXXXXX)
trap 'rm -rf "$out"' EXIT
head -c $size /dev/urandom >"$out/image.bin"

run_once() { # label, irsim options...
    local label=$1
    shift
    local dir=$out/$label
    rm -rf "$dir"
    mkdir -p "$dir/work" "$dir/var"
    cp "$out/image.bin" "$dir/work/ir_4000.bin"
    : >"$dir/irsim.log" # exists before the loop below reads it
    "$irsim" --exit-after-result --timeout 300 --expect "$out/image.bin" "$@" >"$dir/irsim.log" 2>&1 &
    local sim=$!
    local pty
    pty=$(irsim_wait_pty "$dir/irsim.log" "$sim")
    [ -n "$pty" ] || { cat "$dir/irsim.log"; exit 1; }
    # Elapsed, user and system CPU seconds, peak RSS (KiB) of the tool alone.
    scripts/sandbox.sh --log - "$pty" "$dir/work" "$dir/var" \
        /usr/bin/time -f '%e %U %S %M' -o "$dir/time" "$irupdate" >/dev/null 2>&1
    wait "$sim" || { echo "bench: $label: update failed"; cat "$dir/irsim.log"; exit 1; }
    read -r wall user sys rss <"$dir/time"
    local transfer_ms chunks
    transfer_ms=$(sed -n 's/^irsim: transfer-ms //p' "$dir/irsim.log")
    chunks=$(sed -n 's/^irsim: chunks //p' "$dir/irsim.log")
    awk -v l="$label" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v t="$transfer_ms" \
        -v c="$chunks" -v n="$size" -v line="$line_bytes_per_s" 'BEGIN {
        ts = t / 1000.0
        printf "%-9s %7.2f %9.2f %9.0f %8.2f %9.1f%% %8.2f %7.2f%% %9.2f\n", l, w, ts, n / ts,
               t / c, 100.0 * (n / ts) / line, u + s, 100.0 * (u + s) / w, r / 1024.0
    }'
    turns+=("$label: $(grep -E '^irsim: (tool|sim)-turnaround-ms' "$dir/irsim.log" | sed 's/^irsim: //' | tr '\n' ';')")
}
turns=()

printf "%-9s %7s %9s %9s %8s %10s %8s %8s %9s\n" mode "run s" "xfer s" "bytes/s" "ms/chunk" \
    "of line" "CPU s" "CPU" "RSS MiB"
for _ in $(seq "$rounds"); do
    run_once unpaced
    run_once 115200 --baud 115200
done
echo "per chunk, timed at the line (ms): tool = chunk request written -> chunk in;" \
    "sim = chunk in -> next request written"
printf '  %s\n' "${turns[@]}"
echo "(image $size bytes in 64-byte chunks; line limit $line_bytes_per_s bytes/s;" \
    "run s = the tool's whole run, including up to 1 s for main's exit poll)"
