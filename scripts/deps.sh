#!/usr/bin/env bash
# Installs the Debian packages a job needs, when they are missing.
#   scripts/deps.sh base     compiler, CMake, GoogleTest, log4cpp
#   scripts/deps.sh armhf    the 32-bit ARM cross toolchain and qemu-user
#   scripts/deps.sh tidy     clang 14 and clang-tidy 14 with run-clang-tidy-14, shellcheck
#   scripts/deps.sh fuzz     clang with libFuzzer and the sanitizer runtimes
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev liblog4cpp5-dev util-linux)
for set in "$@"; do
    case "$set" in
    base) ;;
    armhf) packages+=(g++-arm-linux-gnueabihf qemu-user dpkg-dev) ;;
    tidy) packages+=(clang-14 clang-tidy-14 shellcheck) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
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
