#!/usr/bin/env bash
# Static checks with clang-tidy 14 (the checks are in .clang-tidy, and in
# tests/.clang-tidy for the tests): every source file of the project that the
# build compiles, as listed in build/tidy/compile_commands.json, so a new file
# or folder is checked as soon as CMake builds it; and shellcheck over every
# shell script (each *.sh, and every file with a shell's #! line), following
# the files they source.
# Any finding fails the run.
#
#   scripts/tidy.sh      (the `tidy` stage of scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/tidy
jobs=$(nproc)
start=$(date +%s)

scripts/deps.sh base tidy fuzz

# Shell scripts first: they take a second.
is_shell_script() {
    case "$1" in
    *.sh) return 0 ;;
    esac
    local first=""
    IFS= read -r first <"$1" 2>/dev/null || true
    [[ "$first" =~ ^#!\ ?(/usr)?/bin/(env\ )?(ba|da)?sh(\ |$) ]]
}
mapfile -t shell_scripts < <(find . \( -path ./build -o -path ./out -o -path ./.git \) -prune -o \
    -type f -print | sort | while read -r f; do if is_shell_script "$f"; then echo "$f"; fi; done)
shellcheck -x "${shell_scripts[@]}"
echo "tidy: shellcheck clean over ${#shell_scripts[@]} scripts"

# The compile database holds the exact flags of every translation unit. It is
# made for clang, the compiler clang-tidy is, so that targets only clang can
# build (libFuzzer's) are in it too. No header is generated at build time, so
# configuring is all clang-tidy needs. Compiler warnings are the native
# stage's business: no -Werror here, the findings are the checks'.
cc_line='CMAKE_CXX_COMPILER:FILEPATH=/usr/bin/clang++-14'
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "$cc_line" "$build/CMakeCache.txt"; then
    rm -rf "$build" # made for another compiler
fi
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=/usr/bin/clang-14 \
    -DCMAKE_CXX_COMPILER=/usr/bin/clang++-14 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DCMAKE_BUILD_TYPE=Debug -DIRUPDATE_FUZZ=ON >/dev/null

# Our own folders only: nothing from the build folder or the system.
root_re=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|]/\\&/g')
files_re="^$root_re/(app|board|protocol|runtime|tools|tests|bench)/"
count=$(python3 - "$build/compile_commands.json" "$files_re" <<'EOF'
import json, re, sys
entries = json.load(open(sys.argv[1]))
pattern = re.compile(sys.argv[2])
print(len({e["file"] for e in entries if pattern.search(e["file"])}))
EOF
)
if [ "$count" -eq 0 ]; then
    echo "tidy: no source files in $build/compile_commands.json" >&2
    exit 1
fi
echo "tidy: $count files, $jobs jobs"

# run-clang-tidy-14 always asks for colour; the log is kept plain.
status=0
run-clang-tidy-14 -p "$build" -j "$jobs" -quiet "$files_re" >"$build/tidy.raw" 2>&1 || status=$?
sed 's/\x1b\[[0-9;]*m//g' "$build/tidy.raw" >"$build/tidy.log"
# One line per finding (the file, the line and the check), then the details.
findings=$(grep -cE '^[^ ].*: (warning|error): .*\[[A-Za-z0-9.,-]+\]$' "$build/tidy.log" || true)
grep -E '^[^ ].*: (warning|error): ' "$build/tidy.log" | sort -u || true
elapsed=$(($(date +%s) - start))
echo "tidy: $findings findings in $count files, $((elapsed / 60))m$((elapsed % 60))s"
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    echo "tidy: failed; the full report is in $build/tidy.log" >&2
    exit 1
fi
