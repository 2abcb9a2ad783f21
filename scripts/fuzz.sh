#!/usr/bin/env bash
# Coverage-guided fuzzing: builds the libFuzzer targets of tests/fuzz with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer (build/fuzz, warnings
# as errors) and runs each for SECONDS, two at a time. Each run starts from a
# scratch copy of its seed corpus (tests/fuzz/corpus/<target>/ itself never
# changes). Crash, leak, time-out and memory artefacts go to
# build/fuzz/artifacts/; the exit status is non-zero when any target found one.
#
#   scripts/fuzz.sh [SECONDS]   (default 60)
#
# Reproduce a finding: build/fuzz/tests/fuzz/<target> "$PWD/<artefact>" (an
# absolute path: the targets work in a folder of their own;
# IRUPDATE_FUZZ_VERBOSE=1 keeps their console lines).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in
'' | *[!0-9]* | 0)
    echo "usage: scripts/fuzz.sh [SECONDS]" >&2
    exit 2
    ;;
esac

scripts/deps.sh base fuzz
cmake --preset fuzz -DIRUPDATE_WERROR=ON >/dev/null
cmake --build build/fuzz -j 2

targets=(fuzz_link fuzz_capture)
# Absolute paths: the targets change into working folders of their own.
bin=$PWD/build/fuzz/tests/fuzz
work=$PWD/build/fuzz/run
artifacts=$PWD/build/fuzz/artifacts
rm -rf "$work"
mkdir -p "$work" "$artifacts"

run_target() { # target
    local target=$1
    cp -r "tests/fuzz/corpus/$target" "$work/$target-corpus"
    local rc=0
    "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -close_fd_mask=3 -artifact_prefix="$artifacts/$target-" \
        "$work/$target-corpus" >"$work/$target.log" 2>&1 || rc=$?
    echo "$rc" >"$work/$target.rc"
}

# Two at a time: the machine has two cores.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    pids=()
    for target in "${targets[@]:i:2}"; do
        run_target "$target" &
        pids+=($!)
    done
    wait "${pids[@]}"
done

failed=0
for target in "${targets[@]}"; do
    log=$work/$target.log
    rc=$(cat "$work/$target.rc")
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    # libFuzzer's last status line: "#N DONE cov: C ft: F corp: U/SIZE ...".
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
    found=$(find "$artifacts" -maxdepth 1 -name "$target-*" | wc -l)
    verdict=ok
    if [ "$rc" != 0 ] || [ "$found" != 0 ]; then
        verdict="FAILED (exit $rc, $found artefact(s) in build/fuzz/artifacts)"
        failed=1
    fi
    printf '%-20s executions %s, %s exec/s, cov %s, ft %s, corpus %s units/bytes: %s\n' \
        "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$verdict"
done
if [ "$failed" != 0 ]; then
    for target in "${targets[@]}"; do
        if [ "$(cat "$work/$target.rc")" != 0 ]; then
            echo "--- $target: end of $work/$target.log"
            tail -n 40 "$work/$target.log"
        fi
    done
    exit 1
fi
