#!/usr/bin/env bash
# Installs the Debian packages that the Windows build and its tests need: MinGW-w64 for x86-64
# and x86 (posix threads), Wine for 64- and 32-bit programs (the i386 architecture is added for
# wine32), dpkg-dev, which unpacks the source packages of scripts/windows-deps.sh, and for the
# installer package wixl and msitools (building it and reading its tables) and osslsigncode
# (signing). Only what is missing is installed; a machine that has it all is left alone.
set -euo pipefail

packages=(
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
    wine wine64 wine32:i386
    dpkg-dev debian-archive-keyring ca-certificates
    wixl msitools osslsigncode openssl
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing missing packages: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
