#!/usr/bin/env bash
# The whole test suite, on a fresh Debian 12 machine, as root:
# a warnings-as-errors build with every test (end-to-end runs in private mount
# namespaces included), the same whole suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer together and again with ThreadSanitizer (the
# end-to-end runs then use sanitized irupdate and irsim, and any report a
# child prints fails its test), and the 32-bit ARM build with its tests under
# qemu-arm. The tidy stage runs clang-tidy over every source file
# (scripts/tidy.sh); the soak stage, a bounded fault-injection soak of the
# real binary against the simulator (scripts/soak.sh); the fuzz stage, a
# minute of coverage-guided fuzzing per fuzz target (scripts/fuzz.sh). The
# package stage makes the Debian packages (scripts/package.sh) and proves them
# on an armhf root filesystem of Debian's packages (tests/package/check.sh).
#
#   scripts/test.sh [stage...]   stages: native tidy soak asan tsan fuzz armhf package
#                                (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(native tidy soak asan tsan fuzz armhf package)
jobs=$(nproc)

scripts/deps.sh base field

configure_build() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DIRUPDATE_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

for stage in "${stages[@]}"; do
    echo "=== $stage ==="
    case "$stage" in
    native)
        # Layout follows .clang-format (checked in a git checkout, which lists the sources).
        scripts/deps.sh format
        if git rev-parse --git-dir >/dev/null 2>&1; then
            git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run -Werror
        else
            echo "native: not a git checkout; the layout check needs git ls-files"
        fi
        configure_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
        ctest --test-dir build/native --output-on-failure -j "$jobs"
        ;;
    tidy)
        scripts/tidy.sh
        ;;
    soak)
        # About three minutes: no run starts after 150 s, and the last ones
        # take seconds to finish. A fixed seed base, so that the suite meets
        # the same fault make-ups every time and a failure can be replayed;
        # the long soak by hand draws new seeds from the clock.
        if [ "$(id -u)" = 0 ]; then
            scripts/soak.sh --seconds 150 --runs 1000 --jobs 2 --seed 100000
        else
            echo "soak: needs root (a mount namespace per run); skipped"
        fi
        ;;
    asan | tsan)
        # Debug builds: assertions on, nothing optimised away from the checks.
        # Every report is fatal (-fno-sanitize-recover, halt_on_error).
        san=address,undefined
        [ "$stage" = tsan ] && san=thread
        configure_build "build/$stage" -DCMAKE_BUILD_TYPE=Debug -DIRUPDATE_SANITIZE=$san
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
            ASAN_OPTIONS="detect_leaks=1 strict_string_checks=1 detect_stack_use_after_return=1" \
            UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
            ctest --test-dir "build/$stage" --output-on-failure -j "$jobs"
        ;;
    fuzz)
        scripts/fuzz.sh
        ;;
    armhf)
        scripts/armhf.sh test
        ;;
    package)
        start=$(date +%s)
        scripts/package.sh
        tests/package/check.sh
        echo "package stage: $(($(date +%s) - start)) s"
        ;;
    *)
        echo "unknown stage $stage" >&2
        exit 2
        ;;
    esac
done
