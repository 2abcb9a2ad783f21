#!/usr/bin/env bash
# The package stage (after scripts/package.sh), as root. Checks out/packages:
#  - both packages: architecture, version in the stripped programs, lintian
#    without an error; the board's Depends names the package of every shared
#    library its programs need (readelf NEEDED);
#  - an armhf root filesystem of Debian's packages holding only what that
#    Depends pulls in (mmdebstrap, extracted, nothing run; cached in
#    build/package-rootfs by Depends line): the package unpacked into it, its
#    /usr/sbin/irupdate, run by qemu-arm with that root's loader and libraries
#    in scripts/sandbox.sh, updates irsim (from the PC package) with the image
#    byte for byte; the same for the fully static binary;
#  - DESTDIR installs of build/native and build/armhf: usr/sbin/irupdate and
#    usr/bin/irsim;
#  - a board SDK's build with sdk-toolchain.cmake, tests and irsim off, and
#    DESTDIR=... cmake --install --prefix /usr: usr/sbin/irupdate for ARM only,
#    and GoogleTest never looked for.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
root=$PWD
# shellcheck disable=SC1091 # checked on its own
. scripts/irsim_pty.sh
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release) # Debian's packages of this machine's release
tmp=$(mktemp -d)
sim=""
trap '[ -z "$sim" ] || kill "$sim" 2>/dev/null; rm -rf "$tmp"' EXIT

fail() {
    echo "package check: $*" >&2
    exit 1
}
# one PATTERN: the single file it matches
one() {
    local files
    mapfile -t files < <(compgen -G "$1")
    [ ${#files[@]} = 1 ] || fail "not exactly one $1"
    echo "${files[0]}"
}
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
is_elf() { readelf -h "$1" >/dev/null 2>&1; }
# rootfs DIR PACKAGES: Debian's armhf PACKAGES and what they depend on, extracted
# into DIR/root, their .deb files kept in DIR/debs; once.
rootfs() {
    [ -f "$1/done" ] && return
    rm -rf "$1"
    mkdir -p "$1/debs"
    mmdebstrap --quiet --mode=root --variant=extract --architectures=armhf --include="$2" \
        --skip=cleanup/apt/cache "$suite" "$1/root"
    mv "$1"/root/var/cache/apt/archives/*.deb "$1/debs/"
    touch "$1/done"
}

board=$(one 'out/packages/irupdate_*_armhf.deb')
pc=$(one 'out/packages/irsim_*.deb')
static=$root/$(one 'out/packages/irupdate_*_armhf-static')
version=$(dpkg-deb -f "$board" Version)
depends=$(dpkg-deb -f "$board" Depends)
[ "$(dpkg-deb -f "$board" Architecture)" = armhf ] || fail "$board: not for armhf"
[ "$(dpkg-deb -f "$pc" Architecture)" = "$(dpkg --print-architecture)" ] || fail "$pc: wrong architecture"
[ "$(dpkg-deb -f "$pc" Version)" = "$version" ] || fail "the packages' versions differ"
echo "$(basename "$board"): Depends: ${depends:-(none)}"
lintian --fail-on error --display-info "$board" "$pc" || fail "lintian found errors"

dpkg-deb -x "$pc" "$tmp/pc"
irsim=$tmp/pc/usr/bin/irsim
[ "$("$irsim" --version)" = "irsim $version" ] || fail "irsim --version is not $version"

# The root filesystem, and what each package in it ships.
names=$(sed 's/ *([^)]*)//g; s/ //g' <<<"$depends")
cache=build/package-rootfs/$(sha256sum <<<"$depends" | cut -c1-16)
rootfs "$cache" "$names"
cp -a "$cache/root" "$tmp/root"
dpkg-deb -x "$board" "$tmp/root"
index=$tmp/index # lines "package path"
for deb in "$cache"/debs/*.deb; do
    dpkg-deb -c "$deb" | awk -v p="$(dpkg-deb -f "$deb" Package)" '{ print p, $6 }' >>"$index"
done
echo "root filesystem $cache: $(cut -d' ' -f1 "$index" | uniq | paste -sd' ')"

# Every program of the package: the version in it, a package in Depends for
# each library it needs.
while IFS= read -r file; do
    is_elf "$file" || continue
    strings "$file" | grep -F "$version" >/dev/null || fail "$file: no version $version in it"
    for so in $(needed "$file"); do
        owner=$(awk -v so="/$so" 'substr($2, length($2) - length(so) + 1) == so { print $1 }' "$index")
        [ -n "$owner" ] || fail "$so (needed by ${file#"$tmp"/root}) is in no package Depends pulls in"
        [[ ",$names," == *",$owner,"* ]] || fail "$so (needed by ${file#"$tmp"/root}) comes from $owner, not in Depends"
        echo "  ${file#"$tmp"/root}: $so from $owner"
    done
done < <(dpkg-deb -c "$board" | awk '$1 ~ /^-/ { print $6 }' | sed "s|^\.|$tmp/root|")
for file in "$static" "$irsim"; do
    strings "$file" | grep -F "$version" >/dev/null || fail "$file: no version $version in it"
done
[ -z "$(needed "$static")" ] || fail "$static needs shared libraries"

# update LABEL COMMAND...: COMMAND (irupdate) updates irsim in the sandbox.
head -c 16384 /dev/urandom >"$tmp/image.bin"
update() {
    local dir=$tmp/$1 pty
    shift
    mkdir -p "$dir/work" "$dir/var"
    cp "$tmp/image.bin" "$dir/work/ir_4000.bin"
    cp "$tmp/image.bin" "$dir/work/ir_A000.bin"
    : >"$dir/irsim.log"
    "$irsim" --exit-after-result --expect "$tmp/image.bin" --out "$dir/received.bin" \
        >"$dir/irsim.log" 2>&1 &
    sim=$!
    pty=$(irsim_wait_pty "$dir/irsim.log" "$sim")
    [ -n "$pty" ] || fail "irsim did not start: $(cat "$dir/irsim.log")"
    if ! timeout 120 scripts/sandbox.sh "$pty" "$dir/work" "$dir/var" "$@" >"$dir/tool.log" 2>&1 ||
        ! wait "$sim"; then
        cat "$dir/tool.log" "$dir/irsim.log" >&2
        fail "$*: the update failed"
    fi
    sim=""
    grep -q "update success" "$dir/tool.log" || fail "$*: no success message"
    grep -qx "irsim: image match" "$dir/irsim.log" || fail "$*: image mismatch"
    cmp "$tmp/image.bin" "$dir/received.bin" || fail "$*: received image differs"
    [ -s "$dir/var/success.log" ] || fail "$*: no success record"
    echo "$*: update success, image byte for byte"
}
update package qemu-arm -L "$tmp/root" "$tmp/root/usr/sbin/irupdate"
update static qemu-arm -L "$tmp/root" "$static"

# Plain installs of the project's own builds, as package.sh left them.
for build in native armhf; do
    DESTDIR=$tmp/$build cmake --install "build/$build" --prefix /usr >/dev/null
    for file in usr/sbin/irupdate usr/bin/irsim; do
        [ -x "$tmp/$build/$file" ] || fail "build/$build: no $file installed"
    done
done

# The vendor SDK's way: its toolchain file and sysroot, the environment its
# set-up script gives, plain cmake.
sdk=build/package-sdk
rootfs "$sdk" libc6-dev,libstdc++-12-dev,liblog4cpp5-dev
export SDK_SYSROOT=$root/$sdk/root PKG_CONFIG_SYSROOT_DIR=$root/$sdk/root
export PKG_CONFIG_LIBDIR=$root/$sdk/root/usr/lib/arm-linux-gnueabihf/pkgconfig
rm -rf build/sdk
cmake -S . -B build/sdk -DCMAKE_TOOLCHAIN_FILE="$root/tests/package/sdk-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DIRUPDATE_BUILD_IRSIM=OFF >/dev/null
cmake --build build/sdk -j "$jobs" >/dev/null
DESTDIR=$tmp/sdk cmake --install build/sdk --prefix /usr >/dev/null
readelf -h "$tmp/sdk/usr/sbin/irupdate" | grep 'Machine: *ARM$' >/dev/null || fail "SDK build: no ARM usr/sbin/irupdate"
[ ! -e "$tmp/sdk/usr/bin/irsim" ] || fail "SDK build: irsim installed"
! grep -qi gtest build/sdk/CMakeCache.txt || fail "SDK build: GoogleTest was looked for"
echo "SDK build: usr/sbin/irupdate for ARM, no irsim, no GoogleTest"
