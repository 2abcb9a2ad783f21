#!/usr/bin/env bash
# The Debian packages, on a Debian 12 machine, as root:
#
#   scripts/package.sh
#
# makes, in out/packages/ (emptied first):
#   irupdate_<version>_armhf.deb     the board's package, from build/armhf
#                                    (preset armhf: log4cpp shared)
#   irsim_<version>_<arch>.deb       the PC's package, from build/native
#   irupdate_<version>_armhf-static  the fully static irupdate, stripped, from
#                                    build/armhf-fullstatic: no shared library
#                                    at all, for boards with an older runtime
# Build folders that exist are reused (and brought up to date). Each
# package's Depends is computed by dpkg-shlibdeps from the ELF files it
# installs: the board's against the symbols files of Debian's armhf runtime
# packages (unpacked once into build/shlibs), the PC's against the build
# machine's installed ones. tests/package/check.sh (the package stage of
# scripts/test.sh) checks the result.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2 # the machines this runs on are shared; two jobs is the budget
out=$root/out/packages
sysroot=$root/build/armhf/sysroot
# The armhf packages holding the shared libraries the board's programs may
# need: dpkg-shlibdeps reads their symbols files. A library needed beyond
# these makes it fail ("cannot find library"): add its package here.
armhf_runtime=(libc6 libstdc++6 libgcc-s1 liblog4cpp5v5)

scripts/deps.sh base armhf package
scripts/armhf.sh sysroot

# Unpacks the armhf runtime packages, control files included (DEBIAN/symbols),
# one folder each under build/shlibs/armhf, once.
fetch_runtime() {
    local dir=$root/build/shlibs/armhf
    [ -f "$dir/.done" ] && return
    rm -rf "$dir"
    mkdir -p "$dir/debs"
    chmod 0777 "$dir/debs" # apt downloads as its own unprivileged user
    local names=("${armhf_runtime[@]/%/:armhf}")
    # Lists older than the archive name versions it no longer has: refresh once.
    if ! (cd "$dir/debs" && apt-get download -qq "${names[@]}"); then
        apt-get update -qq
        (cd "$dir/debs" && apt-get download -qq "${names[@]}")
    fi
    local deb
    for deb in "$dir"/debs/*.deb; do
        dpkg-deb -R "$deb" "$dir/$(dpkg-deb -f "$deb" Package)"
    done
    rm -rf "$dir/debs"
    touch "$dir/.done"
}

# depends BUILD COMPONENT [LIBDIR...]: the Depends line dpkg-shlibdeps computes
# for the ELF files that COMPONENT installs. Each LIBDIR is an unpacked
# package (with its DEBIAN/ folder) holding libraries of the target.
depends() {
    local build=$1 component=$2 work
    shift 2
    work=$(mktemp -d)
    mkdir -p "$work/debian"
    DESTDIR=$work/debian/$component cmake --install "$build" --component "$component" \
        --prefix /usr >/dev/null
    mkdir -p "$work/debian/$component/DEBIAN" # marks the package's tree
    printf 'Source: irupdate\n\nPackage: %s\nArchitecture: any\n' "$component" >"$work/debian/control"
    local dir
    for dir in "$@"; do
        ln -s "$dir" "$work/debian/$(basename "$dir")"
    done
    local elves=() file
    while IFS= read -r file; do
        readelf -h "$file" >/dev/null 2>&1 && elves+=("${file#"$work"/}")
    done < <(find "$work/debian/$component" -type f)
    # (Debian's armhf libstdc++6 symbols file leaves out the EABI helper
    # __aeabi_atexit: dpkg-shlibdeps warns about it; libstdc++6's minimum
    # version comes from the other symbols.)
    local line
    line=$(cd "$work" && dpkg-shlibdeps -O "${elves[@]}")
    rm -rf "$work"
    printf '%s\n' "${line#shlibs:Depends=}"
}

# package BUILD COMPONENT DEPENDS: the component's .deb into out/packages.
package() {
    local build=$1 component=$2 depends=$3 work
    work=$(mktemp -d)
    cpack --config "$build/CPackConfig.cmake" -B "$work" -D CPACK_COMPONENTS_ALL="$component" \
        -D "CPACK_DEBIAN_${component^^}_PACKAGE_DEPENDS=$depends" >"$work/cpack.log" ||
        { cat "$work/cpack.log" >&2; exit 1; }
    mv "$work"/*.deb "$out/"
    rm -rf "$work"
}

fetch_runtime
rm -rf "$out"
mkdir -p "$out"

# The board's package. (CPack itself would build the whole tree first, with one job.)
cmake --preset armhf -DIRUPDATE_ARMHF_SYSROOT="$sysroot" >/dev/null
cmake --build build/armhf -j "$jobs"
armhf_depends=$(DEB_HOST_ARCH=armhf depends build/armhf irupdate "$root"/build/shlibs/armhf/*/)
package build/armhf irupdate "$armhf_depends"

# The PC's package.
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"
native_depends=$(depends build/native irsim)
package build/native irsim "$native_depends"

# The fully static irupdate.
cmake --preset armhf-fullstatic -DIRUPDATE_ARMHF_SYSROOT="$sysroot" >/dev/null
cmake --build build/armhf-fullstatic -j "$jobs" --target irupdate
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/armhf-fullstatic/CMakeCache.txt)
arm-linux-gnueabihf-strip --strip-all -o "$out/irupdate_${version}_armhf-static" \
    build/armhf-fullstatic/app/irupdate

echo "packages in $out:"
(cd "$out" && stat -c '  %n %s bytes' -- *)
echo "irupdate (armhf) Depends: $armhf_depends"
echo "irsim Depends: $native_depends"
