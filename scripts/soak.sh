#!/usr/bin/env bash
# Fault-injection soak: whole updates of the real, unmodified irupdate against
# irsim, each in its own mount namespace (scripts/sandbox.sh), each with its own
# seed, which draws the image, the selector, the ready answer, the line's
# faults (a handful of each kind) and up to three failure reports. A run must
# end within 180 s, each report answered by its message and none given by
# irsim on its own, no sanitizer report; after fewer than three reports
# "update success", the success record and the image byte for byte at irsim;
# after three, the give-up message and neither success message nor record.
#
#   scripts/soak.sh [--runs N] [--seconds S] [--seed BASE] [--jobs J] [--build DIR] [--cases]
#
#   --runs N     at most N runs (default 100)    --seconds S  start none after S s
#   --seed BASE  seeds BASE, BASE+1, ... (default: the clock's seconds)
#   --jobs J     runs at once (default 2)        --build DIR  irupdate, irsim from there
#   --cases      the fixed make-ups below instead (ctest's e2e_cases)
#
# A line per run, then a summary; a failed run keeps its folder in out/soak/ ("--seed SEED
# --runs 1" makes it again). Exit status 1: a run failed, 2: usage or set-up. Needs root.
set -euo pipefail
# shellcheck source=scripts/irsim_pty.sh
. "$(dirname "$0")/irsim_pty.sh"
cd "$(dirname "$0")/.."
root=$PWD runs=100 seconds=0 base=$(date +%s) jobs=2 build="" cases=()
usage() { sed -n 's/^#   //p' "$0" >&2 && exit 2; }
number() { [[ "${1:-}" =~ ^[0-9]+$ ]] || usage; }
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) number "${2:-}" && runs=$2 && shift ;;
    --seconds) number "${2:-}" && seconds=$2 && shift ;;
    --seed) number "${2:-}" && base=$2 && shift ;;
    --jobs) number "${2:-}" && jobs=$2 && shift ;;
    --build) [ -n "${2:-}" ] || usage && build=$(readlink -f "$2") && shift ;;
    --cases) # the size, then irsim's options; the images are drawn from the seed
        cases=("1000 --baud 115200"             # as on the board: 115200 bit/s both ways
            "130 --selector 0 --ready-len 16" # the selector read from a buffer of its own
            "700 --garbage 0.05 --corrupt-rx 0.005 --corrupt-tx 0.005 --drop-rx 0.005 --drop-tx 0.005 --withhold-ack 0.05"
            "300 --fail 606@3,607@start"      # each report restarts the image at its first byte
            "130 --fail 606,607,601")         # the third ends the run; 601 is no code of it
        runs=${#cases[@]} base=0 ;;
    *) usage ;;
    esac
    shift
done
if [ "$(id -u)" != 0 ] || [ "$jobs" -lt 1 ]; then echo "soak.sh: needs root and --jobs 1 or more" >&2 && exit 2; fi
if [ -z "$build" ]; then # the native stage's build
    build=$root/build/native
    scripts/deps.sh base
    cmake -S "$root" -B "$build" -DIRUPDATE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target irupdate irsim >/dev/null
fi
irupdate=$build/app/irupdate irsim=$build/tools/irsim/irsim out=$root/out/soak
if [ ! -x "$irupdate" ] || [ ! -x "$irsim" ]; then echo "soak.sh: no irupdate or irsim in $build" >&2 && exit 2; fi
[ ${#cases[@]} = 0 ] || out=$build/e2e-cases
rm -rf "$out" && mkdir -p "$out" && : >"$out/results.txt"

# r = a number from $1 to $2, drawn by bash's RANDOM, which the run seeds
# with its seed: the same seed always makes the same run.
draw() { r=$(($1 + RANDOM % ($2 - $1 + 1))); }

# The image (size drawn bytes) under the name the selector asks for, another
# under the other name (a wrong choice shows), and sent.bin, the image as the
# tool sends it.
images() { # folder, name asked for, other name
    local i n hex fmt
    for i in 0 1; do
        fmt=""
        for ((n = 0; n < size + i; n++)); do printf -v hex '\\x%02x' $((RANDOM & 255)) && fmt+=$hex; done
        printf '%b' "$fmt" >"$1/work/${*:i+2:1}"
    done
    cp "$1/work/$2" "$1/image.bin" && cp "$1/image.bin" "$1/sent.bin"
    if [ $((size % 64)) -ge 1 ] && [ $((size % 64)) -le 4 ]; then
        head -c $((8 - size % 64)) /dev/zero | tr '\0' '\377' >>"$1/sent.bin"
    fi
}

# A run's make-up, given by a case or drawn: the images, size and sim_args.
plan() { # folder [case]
    local i k hex chunks n list=() attempts=() names=(ir_4000.bin ir_A000.bin)
    if [ -n "${2:-}" ]; then
        read -r size k <<<"$2"
        read -ra sim_args <<<"$k"
        [[ " $k " != *" --selector 0 "* ]] || names=(ir_A000.bin ir_4000.bin)
        images "$1" "${names[@]}"
        return
    fi
    # k whole chunks (half the runs up to 5 KB, some to 20 KB, a few to 40 KB),
    # then a last chunk of 1..4 bytes (padded to 8), none, or 5..63.
    draw 0 19
    if [ "$r" -lt 10 ]; then draw 0 79; elif [ "$r" -lt 17 ]; then draw 80 319; else draw 320 640; fi
    k=$r
    draw 0 3
    case "$r" in 0) draw 1 4 ;; 1) r=$((k > 0 ? 0 : 64)) ;; *) draw 5 63 ;; esac
    size=$((64 * k + r)) chunks=$(((64 * k + r + 63) / 64)) sim_args=(--selector 2 --ready-len 4)
    local others=(0 1 3 40960 4294967295) # selectors that name ir_A000.bin
    draw 0 3 # half the runs ask for ir_A000.bin, half get a ready answer of 5..64 bytes
    if [ $((r & 1)) = 1 ]; then sim_args[1]=${others[RANDOM % 5]} names=(ir_A000.bin ir_4000.bin); fi
    if [ $((r & 2)) = 2 ]; then draw 5 64 && sim_args[3]=$r; fi
    images "$1" "${names[@]}"
    # Failure reports: none, one, two, or three (the tool then gives up), of
    # any code, at the start, the end record, a chunk, or past the image.
    local codes=(606 606 606 607 607 601 600 604 605 a00) point
    draw 0 19 && n=$((r < 7 ? 0 : r < 12 ? 1 : r < 16 ? 2 : 3))
    for ((i = 0; i < n; i++)); do
        draw 0 19
        if [ "$r" -lt 4 ]; then point=start attempts+=(0)
        elif [ "$r" -lt 10 ]; then point=end attempts+=("$chunks")
        elif [ "$r" -lt 19 ]; then draw 1 "$chunks" && point=$r attempts+=("$r")
        else point=$((chunks + 3)) attempts+=("$chunks"); fi
        list+=("${codes[RANDOM % 10]}@$point")
    done
    [ "$n" = 3 ] || attempts+=("$chunks") # the last attempt runs to its end
    [ "$n" = 0 ] || sim_args+=(--fail "$(IFS=, && echo "${list[*]}")")
    # Faults: noise and withheld acknowledgements, and each other kind at odds
    # of 3 in 5, at a rate that makes 2..8 of them in the whole run (sometimes
    # 10..25), however early failure reports cut attempts short. Bytes altered
    # or lost stay at 0.5% at most: a chunk frame then gets through every
    # other try.
    k=0 # frames irsim writes in all attempts; it gets about 94 bytes and sends 34 a frame
    for i in "${attempts[@]}"; do k=$((k + i + 2)); done
    local kind volume cap
    for i in garbage:$((2 * k)):500000 corrupt-rx:$((k * 94)):5000 corrupt-tx:$((k * 34)):5000 \
        drop-rx:$((k * 94)):5000 drop-tx:$((k * 34)):5000 withhold-ack:$k:500000; do
        IFS=: read -r kind volume cap <<<"$i" # cap: per million
        draw 0 9 && draw $((r == 0 ? 10 : 2)) $((r == 0 ? 25 : 8))
        r=$((r * 1000000 / volume < cap ? r * 1000000 / volume : cap))
        printf -v hex '0.%06d' "$r"
        draw 0 4
        if [ "$r" -lt 3 ] || [ "$kind" = garbage ] || [ "$kind" = withhold-ack ]; then
            sim_args+=("--$kind" "$hex")
        fi
    done
}

# One run: a line on standard output and in the results; the folder kept when it failed.
run_one() { # seed
    local seed=$1 dir=$out/run-$1 size sim_args sim pty tool_pid tool=0 why=() t0=$SECONDS
    trap 'kill "${sim:-}" "${tool_pid:-}" 2>/dev/null; exit 1' TERM
    mkdir -p "$dir/work" "$dir/var" && RANDOM=$seed && plan "$dir" "${cases[seed]:-}"
    "$irsim" --expect "$dir/image.bin" --out "$dir/received.bin" --exit-after-result --timeout 200 \
        --seed "$seed" "${sim_args[@]}" >"$dir/sim.log" 2>&1 &
    sim=$!
    pty=$(irsim_wait_pty "$dir/sim.log" "$sim")
    # The sandbox execs its way into the tool: timeout's child is the tool.
    timeout -s KILL 180 scripts/sandbox.sh --log - "${pty:-/nonexistent}" "$dir/work" "$dir/var" "$irupdate" \
        >"$dir/tool.out" 2>"$dir/tool.err" &
    tool_pid=$!
    wait "$tool_pid" || tool=$?
    [ "$tool" = 0 ] || kill "$sim" 2>/dev/null || true # irsim sums up on its way out
    wait "$sim" || true
    value() { sed -n "s/^irsim: $1 //p" "$dir/sim.log" | tail -1; }
    said() { grep -cxF -- "$1" "$dir/tool.out" || true; }
    local sent given reports=() g check=0 mem=0 other=0
    sent=$(value failures-sent) given=$(value failures-given)
    read -ra reports <<<"${given#-}"
    for g in "${reports[@]}"; do
        case "${g%@*}" in 606) check=$((check + 1)) ;; 607) mem=$((mem + 1)) ;; *) other=$((other + 1)) ;; esac
    done
    [ "$tool" = 0 ] || why+=("tool exit status $tool (137: still running after 180 s)")
    [ "$(value ended-by)" = result ] || why+=("irsim did not end by a result")
    [ "$(said "update CHECK failed ")/$(said "update MEM failed ")/$(said "error cmd")" = "$check/$mem/$other" ] ||
        why+=("the tool's failure messages do not match the reports given ($given)")
    [ "${sent:-x}" = "$(value failures-scripted)" ] || why+=("irsim gave a failure report of its own")
    ! grep -qE 'Sanitizer|runtime error' "$dir/tool.err" "$dir/sim.log" || why+=("a sanitizer report")
    if [ "${sent:-0}" -ge 3 ]; then
        [ "$(said "update time is over 3,update failed")/$(said "update success")/$(value verdict)" = 1/0/failure ] ||
            why+=("not given up once without success after $sent reports")
        [ ! -e "$dir/var/success.log" ] || why+=("success record written after $sent reports")
    else
        [ "$(said "update success")/$(said "update time is over 3,update failed")" = 1/0 ] || why+=("not one success message")
        [ "$(value verdict)/$(value image)/$(value checksum)" = success/match/ok ] || why+=("irsim: no success, image match, good checksum")
        cmp -s "$dir/sent.bin" "$dir/received.bin" || why+=("received.bin differs from the image as sent")
        [ "$(od -An -tx1 "$dir/var/success.log" 2>/dev/null | tr -d ' \n')" = 00000000 ] || why+=("no success record of four zero bytes")
    fi
    local status=PASS
    [ ${#why[@]} = 0 ] || status=FAIL
    printf 'seed %d size %d %s | %s | reports %s | %s %ds\n' "$seed" "$size" "${sim_args[*]}" \
        "$(value faults)" "${given:--}" "$status" $((SECONDS - t0))
    echo "$status $seed $(value faults)" >>"$out/results.txt"
    if [ "$status" = PASS ]; then rm -rf "$dir"; else printf '  FAIL: %s\n' "${why[@]}"; fi
}

echo "soak: seeds from $base, at most $runs runs, $jobs at once, $irupdate against $irsim"
stop_runs() { for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done; wait; }
trap stop_runs EXIT
trap 'exit 130' INT TERM
for ((i = 0; i < runs && (seconds == 0 || SECONDS < seconds); i++)); do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    run_one $((base + i)) &
done
wait
# A run that left no line (the script itself failed in it) counts as failed.
for ((n = $(wc -l <"$out/results.txt"); n < i; n++)); do echo "FAIL noresult" >>"$out/results.txt"; done
# faults: rx-corrupted A rx-dropped B tx-corrupted C tx-dropped D noise-bursts E noise-bytes F acks-withheld G
awk -v s=$SECONDS -v out="$out" '{ n++; fail += $1 != "PASS"; for (i = 4; i <= NF; i += 2) sum[$(i - 1)] += $i }
    END { printf "soak: %d runs in %d s, injected:", n, s; for (k in sum) printf " %s %d", k, sum[k]
          printf "\nsoak: %d passed, %d failed%s\n", n - fail, fail, fail ? "; their folders are in " out : ""
          exit (fail > 0 || n == 0) }' "$out/results.txt"
