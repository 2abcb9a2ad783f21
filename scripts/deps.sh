#!/usr/bin/env bash
# Installs the Debian packages a job needs, when they are missing.
#   scripts/deps.sh base     compiler, CMake, GoogleTest, log4cpp, strace (capture tests)
#   scripts/deps.sh armhf    the 32-bit ARM cross toolchain and qemu-user
#   scripts/deps.sh tidy     clang 14 and clang-tidy 14 with run-clang-tidy-14, shellcheck
#   scripts/deps.sh format   clang-format 14, which checks the layout of the sources
#   scripts/deps.sh fuzz     clang with libFuzzer and the sanitizer runtimes
#   scripts/deps.sh package  Debian's package tools: dpkg-shlibdeps, lintian, mmdebstrap
#                            (with gpg, which it uses to pin the archive key)
#   scripts/deps.sh field    busybox and systemd-analyze, for the tests of the
#                            supervisor (dash and busybox sh) and its unit
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev liblog4cpp5-dev util-linux strace)
for set in "$@"; do
    case "$set" in
    base) ;;
    armhf) packages+=(g++-arm-linux-gnueabihf qemu-user dpkg-dev) ;;
    tidy) packages+=(clang-14 clang-tidy-14 shellcheck) ;;
    format) packages+=(clang-format-14) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    package) packages+=(dpkg-dev lintian mmdebstrap gpg gzip) ;;
    field) packages+=(busybox dash systemd) ;;
    *) echo "deps.sh: unknown set $set" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
