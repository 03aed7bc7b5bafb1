#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the service need.
# Only the packages that are missing are installed; a machine that has them all is left alone.
set -euo pipefail

packages=(
    build-essential g++ cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libssl-dev openssl libpugixml-dev libsystemd-dev systemd
    libcpp-httplib-dev nlohmann-json3-dev
    clang libclang-rt-14-dev
    procps iproute2
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
