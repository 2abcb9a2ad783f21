#!/usr/bin/env bash
# Fault-injection soak: many whole updates of the real, unmodified irupdate
# against irsim, each in its own private mount namespace (scripts/sandbox.sh),
# each with its own seed. The seed decides the image (last chunks of 1..4
# bytes, exact multiples of 64, up to about 40 KB), the selector and the ready
# answer's length, the line's faults (noise before frames, bytes altered and
# lost both ways, acknowledgements withheld, each at a rate that makes a
# handful of them in the run) and up to three failure reports at the start, at
# a chunk or at the end record. Every run must end within the bound and:
#   - after fewer than three failure reports: "update success" once, the
#     success record (four zero bytes), and at irsim the image of the last
#     attempt byte for byte as the tool sends it, with a good end record;
#   - after three: "update time is over 3,update failed" once, no success
#     message and no success record;
#   - each failure report answered by its own message, none given by irsim
#     on its own (an altered image that got through would be one).
#
#   scripts/soak.sh [--runs N] [--seconds S] [--seed BASE] [--jobs J] [--bound SEC]
#                   [--build DIR] [--out DIR] [--keep]
#
#   --runs N      at most N runs (default 100)
#   --seconds S   start no run after S seconds (default: no limit)
#   --seed BASE   the runs have seeds BASE, BASE+1, ... (default: the clock's seconds)
#   --jobs J      runs at once (default 2)
#   --bound SEC   a run still going after SEC seconds is a hang (default 180)
#   --build DIR   irupdate and irsim from this CMake build folder, not build/native
#   --out DIR     where the runs' folders go (default out/soak; emptied first)
#   --keep        keep the folders of passed runs too
#
# One line per run (seed, image size, faults configured and injected, failure
# reports, outcome, time), then a summary. A failed run keeps its folder
# (both sides' output, the image, what irsim received); "--seed SEED --runs 1"
# makes the same run again. Exit status 1 when a run failed, 2 on a usage or
# set-up error. Needs root (a mount namespace per run). Interrupted, it ends
# the runs under way and everything they started.
set -euo pipefail
# shellcheck source=scripts/irsim_pty.sh
. "$(dirname "$0")/irsim_pty.sh"
cd "$(dirname "$0")/.."
root=$PWD

runs=100 seconds=0 base=$(date +%s) jobs=2 bound=180 build="" out=$root/out/soak keep=0
usage() {
    sed -n '/^#   scripts\/soak.sh/,/^#   --keep/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
number() { [[ "${1:-}" =~ ^[0-9]+$ ]] || usage; }
text() { [ -n "${1:-}" ] || usage; }
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) number "${2:-}" && runs=$2 && shift ;;
    --seconds) number "${2:-}" && seconds=$2 && shift ;;
    --seed) number "${2:-}" && base=$2 && shift ;;
    --jobs) number "${2:-}" && jobs=$2 && shift ;;
    --bound) number "${2:-}" && bound=$2 && shift ;;
    --build) text "${2:-}" && build=$(readlink -f "$2") && shift ;;
    --out) text "${2:-}" && out=$(readlink -f "$2") && shift ;;
    --keep) keep=1 ;;
    *) usage ;;
    esac
    shift
done
if [ "$jobs" -lt 1 ] || [ "$bound" -lt 10 ] || [ "$(id -u)" != 0 ]; then
    echo "soak.sh: needs root, --jobs 1 or more, --bound 10 or more" >&2
    exit 2
fi
if [ -z "$build" ]; then
    # The native stage's configuration, so that the two share one build.
    scripts/deps.sh base
    build=$root/build/native
    cmake -S "$root" -B "$build" -DIRUPDATE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target irupdate irsim >/dev/null
fi
irupdate=$build/app/irupdate irsim=$build/tools/irsim/irsim
if [ ! -x "$irupdate" ] || [ ! -x "$irsim" ]; then
    echo "soak.sh: no irupdate or irsim in $build" >&2
    exit 2
fi
rm -rf "$out" && mkdir -p "$out"
: >"$out/results.txt"

# r=a number from lo to hi, drawn from the run's generator (bash's RANDOM,
# seeded with the run's seed: the same seed always gives the same run).
draw() { r=$(($1 + RANDOM % ($2 - $1 + 1))); }

# Draws a run's make-up: sets size, chunks, name, fails, sim_args and cfg,
# and writes the image (and another under the other name, so that a wrong
# choice shows) and the image as the tool sends it (sent.bin).
plan() { # dir
    local dir=$1 k i n fmt hex failures frames=0 rx=0 tx=0 acks=0
    draw 0 99
    if [ "$r" -lt 50 ]; then draw 0 79; elif [ "$r" -lt 85 ]; then draw 80 319; else draw 320 640; fi
    k=$r
    draw 0 99
    if [ "$r" -lt 25 ]; then
        draw 1 4 && size=$((64 * k + r)) # a last chunk padded to 8
    elif [ "$r" -lt 45 ]; then
        size=$((64 * (k > 0 ? k : 1)))
    elif [ "$r" -lt 55 ]; then
        draw 1 200 && size=$r
    else
        draw 5 63 && size=$((64 * k + r))
    fi
    chunks=$(((size + 63) / 64))
    local selector=2 ready=4 names=(ir_4000.bin ir_A000.bin) others=(0 1 3 40960 4294967295)
    draw 0 1
    if [ "$r" = 1 ]; then
        draw 0 4 && selector=${others[r]} && names=(ir_A000.bin ir_4000.bin)
    fi
    draw 0 1
    if [ "$r" = 1 ]; then draw 5 64 && ready=$r; fi
    name=${names[0]}
    for i in 0 1; do
        fmt=""
        for ((n = 0; n < size + i; n++)); do
            printf -v hex '\\x%02x' $((RANDOM & 255)) && fmt+=$hex
        done
        printf '%b' "$fmt" >"$dir/work/${names[i]}"
    done
    cp "$dir/work/$name" "$dir/image.bin" && cp "$dir/image.bin" "$dir/sent.bin"
    if [ $((size % 64)) -ge 1 ] && [ $((size % 64)) -le 4 ]; then
        head -c $((8 - size % 64)) /dev/zero | tr '\0' '\377' >>"$dir/sent.bin"
    fi
    # Failure reports: none, one, two, or three (the tool then gives up), of
    # any code, at the start, the end record, a chunk, or past the image.
    local codes=(606 606 606 607 607 601 600 604 605 a00) list=() attempts=() code
    draw 0 99 && failures=$((r < 35 ? 0 : r < 60 ? 1 : r < 80 ? 2 : 3))
    for ((i = 0; i < failures; i++)); do
        draw 0 9 && code=${codes[r]}
        draw 0 99
        if [ "$r" -lt 20 ]; then
            list+=("$code@start") && attempts+=(0)
        elif [ "$r" -lt 50 ]; then
            list+=("$code@end") && attempts+=("$chunks")
        elif [ "$r" -lt 95 ]; then
            draw 1 $((chunks > 0 ? chunks : 1)) && list+=("$code@$r") && attempts+=("$r")
        else
            draw 1 3 && list+=("$code@$((chunks + r))") && attempts+=("$chunks")
        fi
    done
    [ "$failures" = 3 ] || attempts+=("$chunks") # the last attempt runs to its end
    fails=$(IFS=, && echo "${list[*]:--}")
    # Faults: each kind on at odds of 3 in 5 (two at least), at a rate that
    # makes 2..8 of them in the whole run (sometimes 10..25), however early
    # failure reports cut attempts short. Bytes altered or lost stay at 0.5%
    # at most: a chunk frame then still gets through about every other try.
    for i in "${attempts[@]}"; do
        rx=$((rx + i * 94 + 72)) tx=$((tx + (i + 2) * 34)) frames=$((frames + 2 * (i + 2))) acks=$((acks + i + 2))
    done
    local kinds=(garbage corrupt-rx corrupt-tx drop-rx drop-tx withhold-ack) on=() ppm=() expected=0
    local volume=("$frames" "$rx" "$tx" "$rx" "$tx" "$acks") cap=(500000 5000 5000 5000 5000 500000)
    for i in 0 1 2 3 4 5; do
        draw 0 4
        if [ "$r" -lt 3 ]; then on+=("$i"); fi
        draw 0 9
        if [ "$r" = 0 ]; then draw 10 25; else draw 2 8; fi
        ppm[i]=$((r * 1000000 / volume[i] < cap[i] ? r * 1000000 / volume[i] : cap[i]))
    done
    while [ "${#on[@]}" -lt 2 ]; do draw 0 5 && on+=("$r"); done
    for i in "${on[@]}"; do expected=$((expected + ppm[i] * volume[i])); done
    # A small image meets few byte faults under the caps: noise and withheld
    # acknowledgements make up for them, so that no run is quiet.
    [ "$expected" -ge 4000000 ] || on+=(0 5)
    sim_args=(--selector "$selector" --ready-len "$ready") cfg=""
    for i in $(printf '%s\n' "${on[@]}" | sort -u); do
        printf -v hex '0.%06d' "${ppm[i]}"
        sim_args+=("--${kinds[i]}" "$hex") && cfg+="${cfg:+, }${kinds[i]} $hex"
    done
    [ "$fails" = - ] || sim_args+=(--fail "$fails")
}

# One run: its line on standard output and in the results; its folder kept
# when it failed.
run_one() { # seed
    local seed=$1 dir=$out/run-$1 size chunks name fails sim_args cfg sim_pid tool_pid pty
    local why=() tool_rc=0 sim_rc=0 t0 ms
    trap 'kill "${tool_pid:-}" "${sim_pid:-}" 2>/dev/null; exit 1' INT TERM
    mkdir -p "$dir/work" "$dir/var"
    RANDOM=$seed
    plan "$dir"
    t0=$(date +%s%N)
    "$irsim" --expect "$dir/image.bin" --out "$dir/received.bin" --exit-after-result \
        --timeout $((bound + 20)) --seed "$seed" "${sim_args[@]}" >"$dir/sim.log" 2>&1 &
    sim_pid=$!
    pty=$(irsim_wait_pty "$dir/sim.log" "$sim_pid")
    if [ -z "$pty" ]; then
        why+=("irsim did not start")
        kill "$sim_pid" 2>/dev/null || true
    else
        # The sandbox execs its way into the tool: timeout's child is the tool.
        timeout -s KILL "$bound" "$root/scripts/sandbox.sh" "$pty" "$dir/work" "$dir/var" \
            "$irupdate" >"$dir/tool.out" 2>"$dir/tool.err" &
        tool_pid=$!
        wait "$tool_pid" || tool_rc=$?
        [ "$tool_rc" = 0 ] || why+=("tool exit status $tool_rc (137: a hang, killed after ${bound}s)")
        [ "$tool_rc" = 0 ] || kill -TERM "$sim_pid" 2>/dev/null || true # irsim sums up on its way out
    fi
    wait "$sim_pid" || sim_rc=$?
    ms=$((($(date +%s%N) - t0) / 1000000))

    # irsim's summary lines ("irsim: <name> <value>") and the tool's messages.
    value() { sed -n "s/^irsim: $1 //p" "$dir/sim.log" | tail -1; }
    said() { grep -cxF -- "$1" "$dir/tool.out" || true; }
    local sent given verdict faults check=0 mem=0 other=0 g reports
    sent=$(value failures-sent) given=$(value failures-given) verdict=$(value verdict)
    faults=$(value faults)
    read -ra reports <<<"${given#-}"
    for g in "${reports[@]}"; do
        case "${g%@*}" in 606) check=$((check + 1)) ;; 607) mem=$((mem + 1)) ;; *) other=$((other + 1)) ;; esac
    done
    if [ "$tool_rc" = 0 ] && [ -n "$pty" ]; then
        [ "$(value ended-by)" = result ] || why+=("irsim did not end by a result")
        [ "$(said "update CHECK failed ")/$(said "update MEM failed ")/$(said "error cmd")" = "$check/$mem/$other" ] ||
            why+=("the tool's failure messages do not match the reports given ($given)")
        [ "${sent:-x}" = "$(value failures-scripted)" ] || why+=("irsim gave a failure report of its own: an end record did not match")
        [ "$(said "open file failed")" = 0 ] || why+=("\"open file failed\"")
        if [ "${sent:-0}" -ge 3 ]; then
            [ "$(said "update time is over 3,update failed")/$(said "update success")" = 1/0 ] ||
                why+=("not given up exactly once, or a success message, after $sent reports")
            [ ! -e "$dir/var/success.log" ] || why+=("success record written after $sent reports")
            [ "$verdict" = failure ] || why+=("irsim verdict $verdict")
        else
            [ "$(said "update success")/$(said "update time is over 3,update failed")" = 1/0 ] ||
                why+=("not one success message, or a give-up message")
            [ "$verdict/$(value image)/$(value checksum)" = success/match/ok ] ||
                why+=("irsim: verdict $verdict, image $(value image), end-record checksum $(value checksum)")
            cmp -s "$dir/sent.bin" "$dir/received.bin" || why+=("received.bin differs from the image as sent")
            [ "$(od -An -tx1 "$dir/var/success.log" 2>/dev/null | tr -d ' \n')" = 00000000 ] ||
                why+=("success record not four zero bytes")
            [ "$sim_rc" = 0 ] || why+=("irsim exit status $sim_rc")
        fi
    fi
    local status=PASS
    [ ${#why[@]} = 0 ] || status=FAIL
    printf 'seed %d size %d [%s] fail %s | injected %s | reports %s | %s %d.%ds\n' "$seed" "$size" \
        "$cfg" "$fails" "${faults:-?}" "${given:--}" "$status" $((ms / 1000)) $((ms % 1000 / 100))
    echo "$status $seed ${faults:-}" >>"$out/results.txt"
    if [ "$status" = FAIL ]; then
        printf '  FAIL seed %s: %s\n' "$seed" "${why[@]}"
        echo "  kept: $dir; again: scripts/soak.sh --seed $seed --runs 1"
    elif [ "$keep" = 0 ]; then
        rm -rf "$dir"
    fi
}

limit="at most $runs runs"
[ "$seconds" = 0 ] || limit+=", none started after $seconds s"
echo "soak: seed base $base, $limit, $jobs at once, bound ${bound}s"
echo "soak: $irupdate against $irsim; folders in $out"
# Whatever ends the script ends the runs under way (each ends what it started).
stop_runs() {
    for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
    wait
}
trap stop_runs EXIT
trap 'exit 130' INT TERM
start=$(date +%s)
for ((i = 0; i < runs; i++)); do
    [ "$seconds" = 0 ] || [ $(($(date +%s) - start)) -lt "$seconds" ] || break
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    run_one $((base + i)) &
done
wait
# A run that left no line (the script itself failed in it) counts as failed.
for ((n = $(wc -l <"$out/results.txt"); n < i; n++)); do echo "FAIL noresult" >>"$out/results.txt"; done
# faults: rx-corrupted A rx-dropped B tx-corrupted C tx-dropped D noise-bursts E noise-bytes F acks-withheld G
awk -v wall=$(($(date +%s) - start)) '{ n++; fail += $1 != "PASS"; for (i = 4; i <= NF; i += 2) sum[$(i - 1)] += $i }
    END { printf "soak: %d runs in %d s; injected:", n, wall; for (k in sum) printf " %s %d", k, sum[k]; print ""
          printf "soak: %d passed, %d failed\n", n - fail, fail; exit (fail > 0 || n == 0) }' "$out/results.txt" || {
    echo "soak: FAILED seeds: $(awk '$1 != "PASS" { printf "%s ", $2 }' "$out/results.txt")"
    exit 1
}
echo "soak: all runs passed"
