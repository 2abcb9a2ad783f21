#!/usr/bin/env bash
# Fault-injection soak: many whole updates of the real, unmodified irupdate
# against irsim, each in its own private mount namespace (scripts/sandbox.sh),
# each with its own seed. The seed decides the image (its size included:
# last chunks of 1..4 bytes, exact multiples of 64, a few bytes up to about
# 40 KB), the image selector and the ready answer's length, the line's faults
# (noise before frames, bytes altered and lost in both directions,
# acknowledgements withheld; rates scaled to the image so that every run
# meets a handful of each kind it has) and up to three failure reports at
# the start, at a chunk or at the end record. Every run is then checked:
#   - fewer than three failure reports: "update success" once, the success
#     record (four zero bytes), and at irsim the image of the last attempt
#     equal to the reference as the tool sends it, with a good end record;
#   - three failure reports: "update time is over 3,update failed" once,
#     no success message and no success record;
#   - each failure report answered by its own message, and none given by
#     irsim on its own (that would mean an altered image got through);
#   - the tool ends within the bound (a hang is killed and is a failure).
#
#   scripts/soak.sh [--runs N] [--seconds S] [--seed BASE] [--jobs J]
#                   [--bound SEC] [--build DIR] [--out DIR] [--keep]
#
#   --runs N      at most N runs (default 100)
#   --seconds S   start no run after S seconds (default: no limit)
#   --seed BASE   run i has seed BASE+i (default: the clock's seconds)
#   --jobs J      runs at once (default 2)
#   --bound SEC   a run still going after SEC seconds is a hang (default 180)
#   --build DIR   take app/irupdate and tools/irsim/irsim from this CMake
#                 build folder instead of building build/native
#   --out DIR     where the runs' folders go (default out/soak; emptied first)
#   --keep        keep the folders of passed runs too
# IRUPDATE_BIN and IRSIM_BIN, when set, name the binaries directly.
#
# One line per run (seed, image size, faults configured, faults injected as
# irsim counted them, failure reports given, outcome, time), then a summary.
# A failed run keeps its folder: both sides' console output, the image, what
# irsim received, and replay.sh with the exact command lines. Exit status 1
# when any run failed, 2 on a usage or set-up error. Needs root (sandbox).
set -euo pipefail
. "$(dirname "$0")/irsim_pty.sh"
cd "$(dirname "$0")/.."
root=$PWD

runs=100
seconds=0
base=$(date +%s)
jobs=2
bound=180
build=""
out=$root/out/soak
keep=0
usage() {
    sed -n '/^#   scripts\/soak.sh/,/^# IRSIM_BIN/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
need_number() { [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "soak.sh: $1 needs a number" >&2; exit 2; }; }
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) need_number "$1" "${2:-}"; runs=$2; shift 2 ;;
    --seconds) need_number "$1" "${2:-}"; seconds=$2; shift 2 ;;
    --seed) need_number "$1" "${2:-}"; base=$2; shift 2 ;;
    --jobs) need_number "$1" "${2:-}"; jobs=$2; shift 2 ;;
    --bound) need_number "$1" "${2:-}"; bound=$2; shift 2 ;;
    --build) [ -n "${2:-}" ] || usage; build=$(readlink -f "$2"); shift 2 ;;
    --out) [ -n "${2:-}" ] || usage; out=$(readlink -f "$2"); shift 2 ;;
    --keep) keep=1; shift ;;
    *) usage ;;
    esac
done
[ "$jobs" -ge 1 ] && [ "$bound" -ge 10 ] || { echo "soak.sh: --jobs >= 1, --bound >= 10" >&2; exit 2; }
if [ "$(id -u)" != 0 ]; then
    echo "soak.sh: needs root (a mount namespace per run)" >&2
    exit 2
fi

irupdate=${IRUPDATE_BIN:-}
irsim=${IRSIM_BIN:-}
if [ -n "$build" ]; then
    irupdate=${irupdate:-$build/app/irupdate}
    irsim=${irsim:-$build/tools/irsim/irsim}
elif [ -z "$irupdate" ] || [ -z "$irsim" ]; then
    scripts/deps.sh base
    # The same configuration as the native stage of scripts/test.sh, so the
    # two share one build.
    cmake -S "$root" -B build/native -DIRUPDATE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/native -j "$(nproc)" --target irupdate irsim >/dev/null
    irupdate=${irupdate:-$root/build/native/app/irupdate}
    irsim=${irsim:-$root/build/native/tools/irsim/irsim}
fi
for bin in "$irupdate" "$irsim"; do
    [ -x "$bin" ] || { echo "soak.sh: no program $bin" >&2; exit 2; }
done
irupdate=$(readlink -f "$irupdate")
irsim=$(readlink -f "$irsim")
sandbox=$root/scripts/sandbox.sh

rm -rf "$out"
mkdir -p "$out"
results=$out/results.txt
: >"$results"

# The run's make-up, drawn from its seed (Perl's generator is the same on
# every machine, so a seed always means the same run). Writes the image under
# the name the selector asks for, a different one under the other name (a
# wrong choice then shows as a mismatch), and prints shell assignments.
plan_run() { # seed, folder
    perl -e '
use strict;
my ($seed, $dir) = @ARGV;
srand($seed);
sub pick { my @w = @_; my $r = rand(); my $i = 0; for (; $i < $#w; ++$i) { last if ($r -= $w[$i]) < 0 } $i }
sub uni { my ($lo, $hi) = @_; $lo + int(rand($hi - $lo + 1)) }

# Image size: chunk count k (half up to 5 KB, some to 20 KB, a few to 40 KB),
# then the last chunk: 1..4 bytes (padded to 8), a full 64, or 5..63.
my @ks = ([0, 79], [80, 319], [320, 640]);
my $k = uni(@{$ks[pick(0.5, 0.35, 0.15)]});
my $size;
my $kind = pick(0.25, 0.2, 0.1, 0.45);
if ($kind == 0) { $size = 64 * $k + uni(1, 4) }
elsif ($kind == 1) { $size = 64 * ($k || 1) }
elsif ($kind == 2) { $size = uni(1, 200) }
else { $size = 64 * $k + uni(5, 63) }
my $chunks = int(($size + 63) / 64);

my $selector = pick(0.5, 0.5) == 0 ? 2 : (0, 1, 3, 0xA000, 0xFFFFFFFF)[uni(0, 4)];
my $ready_len = pick(0.5, 0.5) == 0 ? 4 : uni(5, 64);

# Failure reports: none, one, two, or three (the tool then gives up).
my @codes = (0x606, 0x606, 0x606, 0x607, 0x607, 0x601, 0x600, 0x604, 0x605, 0xA00);
my (@fail, @attempts);
for (1 .. pick(0.35, 0.25, 0.2, 0.2)) {
    my $code = $codes[uni(0, $#codes)];
    my $at = pick(0.2, 0.3, 0.45, 0.05);
    my $point = ("start", "end", uni(1, $chunks), $chunks + uni(1, 3))[$at];
    push @fail, sprintf("%x@%s", $code, $point);
    push @attempts, $point eq "start" ? 0 : $point eq "end" || $point > $chunks ? $chunks : $point;
}
push @attempts, $chunks if @fail < 3; # the last attempt runs to its end

# Faults: each kind on with probability 0.6 (two at least), aiming at a few
# occurrences in the whole run (sometimes a storm), whatever the image size
# and however early failure reports cut attempts short.
my ($rx, $tx, $frames, $acks) = (0, 0, 0, 0);
for my $n (@attempts) {
    $rx += $n * 94 + 72;        # bytes from the tool: chunks, start, end, acks
    $tx += ($n + 2) * 34;       # bytes from irsim: requests and acks
    $frames += 2 * ($n + 2);    # frames irsim writes
    $acks += $n + 2;            # acknowledgements irsim writes
}
my @names = qw(garbage corrupt-rx corrupt-tx drop-rx drop-tx withhold-ack);
my @volume = ($frames, $rx, $tx, $rx, $tx, $acks);
# Caps: with at most 1% of the bytes altered or lost per direction, a chunk
# frame still gets through about every other try. Far more, and it can fail
# the fifty tries that five seconds of repetition give; the sender then
# holds it until the peer speaks, and a peer waiting for that frame never does.
my @cap = (0.5, 0.005, 0.005, 0.005, 0.005, 0.5);
my @on = map { rand() < 0.6 ? 1 : 0 } @names;
while ((grep { $_ } @on) < 2) { $on[uni(0, $#on)] = 1 }
my @target = map { rand() < 0.1 ? uni(10, 25) : uni(2, 8) } @names;
my @rate = map { my $r = $target[$_] / $volume[$_]; $r > $cap[$_] ? $cap[$_] : $r } 0 .. $#names;
# A small image cannot meet many byte faults under the caps: noise and
# withheld acknowledgements then make up for them, so that no run is quiet.
my $expected = 0;
$expected += $on[$_] * $rate[$_] * $volume[$_] for 0 .. $#names;
if ($expected < 4) {
    $on[0] = $on[5] = 1;
}
my @args;
my @cfg;
for my $i (0 .. $#names) {
    next unless $on[$i];
    my $rate = sprintf("%.3g", $rate[$i]);
    push @args, "--$names[$i]", $rate;
    push @cfg, "$names[$i] $rate";
}

push @args, "--fail", join(",", @fail) if @fail;

# The image, and a decoy under the other name.
my $name = $selector == 2 ? "ir_4000.bin" : "ir_A000.bin";
my $other = $selector == 2 ? "ir_A000.bin" : "ir_4000.bin";
for my $f ([$name, $size], [$other, $size + 1]) {
    open(my $h, ">", "$dir/work/$f->[0]") or die "$dir/work/$f->[0]: $!";
    binmode $h;
    print $h pack("C*", map { int(rand(256)) } 1 .. $f->[1]);
    close $h or die;
}
# The image as the tool sends it: a last chunk of 1..4 bytes padded with 0xFF to 8.
system("cp", "$dir/work/$name", "$dir/image.bin") == 0 or die;
system("cp", "$dir/work/$name", "$dir/sent.bin") == 0 or die;
my $rest = $size % 64;
if ($rest >= 1 && $rest <= 4) {
    open(my $p, ">>", "$dir/sent.bin") or die;
    binmode $p;
    print $p "\xFF" x (8 - $rest);
    close $p or die;
}
print "size=$size\nchunks=$chunks\nimage_name=$name\nfailures=", scalar(@fail), "\n";
print "fail_list=", (@fail ? join(",", @fail) : "-"), "\n";
print "sim_faults=(", join(" ", @args), ")\n";
print "cfg=\"", join(", ", @cfg), "\"\n";
print "sim_select=(--selector $selector --ready-len $ready_len)\n";
' "$1" "$2"
}

# Shell-quoted command line, for replay.sh.
quoted() { printf '%q ' "$@"; }

# One run: prints its line, appends it to the results and leaves "pass" or
# "fail" in the folder's status file.
run_one() { # index, seed
    local index=$1 seed=$2
    local dir=$out/run-$seed
    mkdir -p "$dir/work" "$dir/var"
    local size chunks image_name failures fail_list sim_faults sim_select cfg
    eval "$(plan_run "$seed" "$dir")"
    local sim_opts=(--exit-after-result --timeout $((bound + 20)) --seed "$seed" "${sim_select[@]}"
        "${sim_faults[@]}")
    local sim_cmd=("$irsim" --expect "$dir/image.bin" --out "$dir/received.bin" "${sim_opts[@]}")
    local t0 t1
    t0=$(date +%s%N)
    : >"$dir/sim.log"
    # irsim ends by itself (--timeout at the latest); the outer bound is for
    # an irsim that would not.
    timeout -s KILL $((bound + 60)) "${sim_cmd[@]}" >"$dir/sim.log" 2>&1 &
    local sim_pid=$! pty
    pty=$(irsim_wait_pty "$dir/sim.log" "$sim_pid")
    local tool_cmd=("$sandbox" --log - "$pty" "$dir/work" "$dir/var" "$irupdate")
    {
        echo "#!/usr/bin/env bash"
        echo "# Replays soak run $seed: the same image and irsim options (the faults'"
        echo "# pattern also depends on timing). As run:"
        echo "#   $(quoted "${sim_cmd[@]}") >sim.log"
        echo "#   $(quoted "${tool_cmd[@]}") >tool.out 2>tool.err"
        echo "set -euo pipefail"
        echo "cd \"\$(dirname \"\$0\")\""
        echo "rm -rf replay && mkdir -p replay/work replay/var && cp work/ir_*.bin replay/work/"
        echo "$(quoted "$irsim") --expect image.bin --out replay/received.bin $(quoted "${sim_opts[@]}") >replay/sim.log 2>&1 &"
        echo "for _ in \$(seq 100); do pty=\$(sed -n 's/^irsim: pty //p' replay/sim.log); [ -n \"\$pty\" ] && break; sleep 0.05; done"
        echo "$(quoted "$sandbox") --log - \"\$pty\" replay/work replay/var $(quoted "$irupdate") >replay/tool.out 2>replay/tool.err || true"
        echo "wait || true"
        echo "grep -E '^irsim: (verdict|image|failures-given|faults)' replay/sim.log; cat replay/tool.out"
    } >"$dir/replay.sh"
    chmod +x "$dir/replay.sh"

    local tool_rc=0 why=()
    if [ -z "$pty" ]; then
        why+=("irsim did not start")
        kill "$sim_pid" 2>/dev/null || true
    else
        # The sandbox execs its way into the tool: the child of timeout is the tool.
        timeout -s KILL "$bound" "${tool_cmd[@]}" >"$dir/tool.out" 2>"$dir/tool.err" || tool_rc=$?
        if [ "$tool_rc" = 137 ] || [ "$tool_rc" = 124 ]; then
            why+=("HANG: the tool was still running after ${bound}s and was killed")
            kill -TERM "$sim_pid" 2>/dev/null || true # irsim sums up on its way out
        elif [ "$tool_rc" != 0 ]; then
            why+=("tool exit status $tool_rc")
        fi
    fi
    local sim_rc=0
    wait "$sim_pid" || sim_rc=$?
    t1=$(date +%s%N)
    local ms=$(((t1 - t0) / 1000000))

    # irsim's summary, "irsim: <name> <value>".
    value() { sed -n "s/^irsim: $1 //p" "$dir/sim.log" | tail -1; }
    local sent scripted given verdict image checksum ended faults
    sent=$(value failures-sent)
    scripted=$(value failures-scripted)
    given=$(value failures-given)
    verdict=$(value verdict)
    image=$(value image)
    checksum=$(value checksum)
    ended=$(value ended-by)
    faults=$(value faults)
    # faults: rx-corrupted A rx-dropped B tx-corrupted C tx-dropped D noise-bursts E noise-bytes F acks-withheld G
    local f=($faults) cr=0 dr=0 ct=0 dt=0 gb=0 aw=0
    if [ ${#f[@]} -eq 14 ]; then
        cr=${f[1]} dr=${f[3]} ct=${f[5]} dt=${f[7]} gb=${f[9]} aw=${f[13]}
    else
        why+=("no fault counts from irsim")
    fi
    lines() { grep -cxF -- "$1" "$dir/tool.out" || true; }
    local n_success n_giveup n_check n_mem n_error n_open
    n_success=$(lines "update success")
    n_giveup=$(lines "update time is over 3,update failed")
    n_check=$(lines "update CHECK failed ")
    n_mem=$(lines "update MEM failed ")
    n_error=$(lines "error cmd")
    n_open=$(lines "open file failed")

    if [ "$tool_rc" = 0 ] && [ -n "$pty" ]; then
        [ "$ended" = result ] || why+=("irsim ended by ${ended:-nothing}, not by a result")
        # What the tool said must match what it was told, report by report.
        local e_check=0 e_mem=0 e_error=0 g
        for g in ${given/#-/}; do
            case "${g%@*}" in
            606) e_check=$((e_check + 1)) ;;
            607) e_mem=$((e_mem + 1)) ;;
            *) e_error=$((e_error + 1)) ;;
            esac
        done
        [ "$n_check" = "$e_check" ] && [ "$n_mem" = "$e_mem" ] && [ "$n_error" = "$e_error" ] ||
            why+=("failure messages CHECK/MEM/error $n_check/$n_mem/$n_error, reports given $e_check/$e_mem/$e_error")
        [ "${sent:-x}" = "${scripted:-y}" ] ||
            why+=("irsim gave $((${sent:-0} - ${scripted:-0})) failure report(s) of its own: an end record did not match what arrived ($given)")
        [ "$n_open" = 0 ] || why+=("\"open file failed\" $n_open times")
        if [ "${sent:-0}" -ge 3 ]; then
            [ "$n_giveup" = 1 ] || why+=("give-up message $n_giveup times after $sent failure reports")
            [ "$n_success" = 0 ] || why+=("WORST: success message after $sent failure reports")
            [ ! -e "$dir/var/success.log" ] || why+=("success record written after $sent failure reports")
            [ "$verdict" = failure ] || why+=("irsim verdict $verdict")
        else
            if [ "$n_success" != 0 ] && { [ "$verdict" != success ] || [ "$image" != match ]; }; then
                why+=("WORST: success message, but irsim's verdict $verdict, image $image")
            fi
            [ "$n_success" = 1 ] || why+=("success message $n_success times")
            [ "$n_giveup" = 0 ] || why+=("give-up message after $sent failure reports")
            [ "$verdict" = success ] || why+=("irsim verdict ${verdict:-none}")
            [ "$image" = match ] || why+=("image ${image:-none} at irsim")
            [ "$checksum" = ok ] || why+=("end-record checksum ${checksum:-none}")
            cmp -s "$dir/sent.bin" "$dir/received.bin" || why+=("received.bin differs from the image as sent")
            [ "$(od -An -tx1 "$dir/var/success.log" 2>/dev/null | tr -d ' \n')" = 00000000 ] ||
                why+=("success record not four zero bytes")
            [ "$sim_rc" = 0 ] || why+=("irsim exit status $sim_rc")
        fi
    fi

    local outcome status
    if [ "${sent:-0}" -ge 3 ]; then outcome=gave-up; else outcome=success; fi
    [ "$n_success" = 0 ] && [ "$n_giveup" = 0 ] && outcome=none
    if [ ${#why[@]} -eq 0 ]; then status=PASS; else status=FAIL; fi
    local line
    line=$(printf 'run %d seed %d size %d [%s] fail %s | injected garbage %d corrupt %d/%d drop %d/%d acks %d reports %s | %s %s %d.%01ds' \
        "$index" "$seed" "$size" "$cfg" "$fail_list" "$gb" "$cr" "$ct" "$dr" "$dt" "$aw" "${given:--}" \
        "$outcome" "$status" $((ms / 1000)) $((ms % 1000 / 100)))
    echo "$line"
    printf '%s %s %d %d %d %d %d %d %d %d\n' "$status" "$seed" "$ms" "$gb" "$cr" "$ct" "$dr" "$dt" "$aw" "${sent:-0}" >>"$results"
    if [ "$status" = FAIL ]; then
        printf '  FAIL seed %d: %s\n' "$seed" "${why[@]}" | sed '2,$s/^  FAIL seed [0-9]*:/        /'
        printf '%s\n' "${why[@]}" >"$dir/why.txt"
        echo "  kept: $dir (replay.sh replays it)"
    elif [ "$keep" = 0 ]; then
        rm -rf "$dir"
    fi
}

limit="at most $runs runs"
[ "$seconds" = 0 ] || limit="$limit, none started after $seconds s"
echo "soak: seed base $base, $limit, $jobs at once, bound ${bound}s"
echo "soak: $irupdate against $irsim; folders in $out"
start=$(date +%s)
pids=()
i=0
stopped=""
trap 'stopped=1' INT TERM
while [ "$i" -lt "$runs" ] && [ -z "$stopped" ]; do
    if [ "$seconds" != 0 ] && [ $(($(date +%s) - start)) -ge "$seconds" ]; then
        break
    fi
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    i=$((i + 1))
    run_one "$i" $((base + i)) &
done
wait || true
trap - INT TERM
wall=$(($(date +%s) - start))
# A run that ended without its line (the script itself failed in it) counts
# as a failure.
missing=$((i - $(wc -l <"$results")))
if [ "$missing" -gt 0 ]; then
    echo "soak: $missing run(s) ended without a result"
    for _ in $(seq "$missing"); do echo "FAIL noresult 0 0 0 0 0 0 0 0" >>"$results"; done
fi

awk -v wall="$wall" '
{ n++; if ($1 == "PASS") pass++; else fail++; ms += $3; gb += $4; cr += $5; ct += $6; dr += $7; dt += $8;
  aw += $9; rep += $10; if ($4 + $5 + $6 + $7 + $8 + $9 == 0) quiet++; if ($10 > 0) withrep++ }
END {
  printf "soak: %d runs, %d passed, %d failed, in %d s (%.1f s a run on average)\n", n, pass, fail, wall, n ? ms / n / 1000 : 0
  printf "soak: injected: garbage frames %d, corrupted bytes %d (to irsim %d, to the tool %d), dropped bytes %d (%d, %d), withheld acks %d, failure reports %d (in %d runs)\n",
         gb, cr + ct, cr, ct, dr + dt, dr, dt, aw, rep, withrep
  printf "soak: runs that met no line fault: %d\n", quiet
}' "$results"
# The plain closing line that test runners read.
echo "soak: $(grep -c '^PASS' "$results") passed, $(grep -c '^FAIL' "$results") failed"
if grep -q '^FAIL' "$results"; then
    echo "soak: FAILED seeds: $(awk '$1 == "FAIL" { printf "%s ", $2 }' "$results")"
    exit 1
fi
[ -s "$results" ] || { echo "soak: no run was made" >&2; exit 2; }
echo "soak: all runs passed"
