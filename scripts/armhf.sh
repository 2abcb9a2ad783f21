#!/usr/bin/env bash
# The 32-bit ARM (armhf) target build, on a Debian 12 machine, as root.
#
#   scripts/armhf.sh build   irupdate and irsim for the board: stripped copies in
#                            build/<preset>/stripped, their sizes and the shared
#                            libraries they need (log4cpp shared, log4cpp linked
#                            in, and everything linked in)
#   scripts/armhf.sh test    warnings-as-errors build, then the unit and protocol
#                            tests under qemu-arm (the end-to-end tests stay native)
#   scripts/armhf.sh sysroot only the toolchain and the sysroot (for scripts/package.sh)
#
# The cross toolchain and qemu come from Debian (scripts/deps.sh armhf). log4cpp's
# armhf headers and libraries come from Debian's armhf packages, unpacked into
# build/armhf/sysroot: liblog4cpp5-dev:armhf cannot be installed beside the
# native liblog4cpp5-dev. GoogleTest is built for the target from the sources
# that Debian's libgtest-dev ships.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2 # the machines this runs on are shared; two jobs is the budget

build=build/armhf
sysroot=$root/$build/sysroot
cross=arm-linux-gnueabihf
# The armhf packages that make up the sysroot: headers, pkg-config file and
# static library; the shared library the board (and qemu) loads.
sysroot_packages=(liblog4cpp5-dev:armhf liblog4cpp5v5:armhf)

usage() {
    echo "usage: $0 build|test|sysroot" >&2
    exit 2
}

# Unpacks the armhf log4cpp packages into the sysroot, once. The package lists
# for armhf are fetched only when apt does not know them yet.
fetch_sysroot() {
    local stamp=$sysroot/.packages
    if [ -f "$stamp" ] && [ -f "$sysroot/usr/lib/$cross/pkgconfig/log4cpp.pc" ]; then
        return
    fi
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        echo "adding the armhf architecture to dpkg"
        dpkg --add-architecture armhf
    fi
    if ! apt-cache show "${sysroot_packages[@]}" >/dev/null 2>&1; then
        echo "fetching the armhf package lists"
        apt-get update -qq
    fi
    local tmp
    tmp=$(mktemp -d)
    # apt downloads as its own unprivileged user: let it write here.
    chmod 0777 "$tmp"
    # Lists older than the archive name versions it no longer has: refresh once.
    if ! (cd "$tmp" && apt-get download -qq "${sysroot_packages[@]}"); then
        apt-get update -qq
        (cd "$tmp" && apt-get download -qq "${sysroot_packages[@]}")
    fi
    rm -rf "$sysroot"
    mkdir -p "$sysroot"
    local deb
    for deb in "$tmp"/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
        # shellcheck disable=SC2016 # dpkg-deb's own format fields
        dpkg-deb --show --showformat='${Package}:${Architecture} ${Version}\n' "$deb" >>"$stamp.new"
    done
    rm -rf "$tmp"
    mv "$stamp.new" "$stamp"
    echo "sysroot: $(paste -sd',' "$stamp")"
}

# configure <preset> [cmake args...]
configure() {
    local preset=$1
    shift
    cmake --preset "$preset" -DIRUPDATE_ARMHF_SYSROOT="$sysroot" "$@" >/dev/null
}

# newest_version <elf> <GLIBC|GLIBCXX>: the highest version of that name the program needs.
newest_version() {
    "$cross-readelf" -V -W "$1" | grep -o "Name: $2_[0-9.]*" | sed "s/Name: $2_//" | sort -V | tail -n1
}

# report <dir>: strips copies of irupdate and irsim and prints their sizes and needs.
report() {
    local dir=$1 exe out
    mkdir -p "$dir/stripped"
    for exe in irupdate irsim; do
        local bin
        bin=$(find "$dir" -path "$dir/stripped" -prune -o -type f -name "$exe" -perm -u+x -print | head -n1)
        if [ -z "$bin" ]; then
            echo "  $exe: not built"
            continue
        fi
        out=$dir/stripped/$exe
        "$cross-strip" --strip-all -o "$out" "$bin"
        local bytes needs
        bytes=$(stat -c %s "$out")
        needs=$("$cross-readelf" -d "$out" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ')
        printf '  %-9s %7d bytes (%d KiB) stripped; needs: %s\n' "$exe" "$bytes" \
            $(((bytes + 1023) / 1024)) "${needs:-no shared library}"
        # The newest symbol versions it binds to: the oldest C/C++ runtime the board may have.
        [ -z "$needs" ] || printf '  %-9s needs at least GLIBC_%s, GLIBCXX_%s\n' "" \
            "$(newest_version "$out" GLIBC)" "$(newest_version "$out" GLIBCXX)"
    done
}

[ $# -eq 1 ] || usage
case "$1" in
build | test | sysroot) ;;
*) usage ;;
esac

scripts/deps.sh base armhf
fetch_sysroot

case "$1" in
build)
    # log4cpp as the board presumably has it (shared), linked in (static), and
    # no shared library at all (fully static).
    for variant in armhf armhf-static armhf-fullstatic; do
        configure "$variant"
        targets=(irupdate)
        # The simulator is optional in the tree (tools/irsim).
        # (Read the whole list first: grep -q would close the pipe early.)
        if cmake --build "build/$variant" --target help | grep -w irsim >/dev/null; then
            targets+=(irsim)
        fi
        cmake --build "build/$variant" -j "$jobs" --target "${targets[@]}"
        case "$variant" in
        armhf) echo "$variant (log4cpp shared):" ;;
        armhf-static) echo "$variant (log4cpp static):" ;;
        *) echo "$variant (fully static):" ;;
        esac
        report "build/$variant"
    done
    ;;
test)
    start=$(date +%s)
    configure armhf -DIRUPDATE_WERROR=ON -DBUILD_TESTING=ON
    cmake --build "$build" -j "$jobs"
    # Each test program runs under qemu-arm (the toolchain's CMAKE_CROSSCOMPILING_EMULATOR).
    ctest --test-dir "$build" --output-on-failure -j "$jobs" -L 'unit|protocol'
    echo "armhf test: $(($(date +%s) - start)) s"
    ;;
sysroot) ;;
esac
