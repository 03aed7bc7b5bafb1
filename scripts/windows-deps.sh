#!/usr/bin/env bash
# Builds the third-party libraries of the Windows build, for x86-64 and x86, from Debian's own
# source packages: OpenSSL 3.0 (static libraries), pugixml and GoogleTest (with GoogleMock).
#
#   scripts/windows-deps.sh [x86_64|i686 ...]      (default: both)
#
# The libraries go into a cache outside the checkout (KRI_WINDOWS_DEPS, default
# ~/.cache/kriatmnsvc/windows-deps), one prefix per architecture and set of versions:
#   <cache>/<triplet>/openssl-<v>_pugixml-<v>_googletest-<v>/{include,lib}
#   <cache>/<triplet>/current -> that prefix (what cmake/mingw-w64-*.cmake search)
# A prefix that is complete is reused as it is; nothing is downloaded then.
#
# Sources come through apt with a source list of the script's own (the machine's apt
# configuration is left alone): apt checks each .dsc against Debian's signed index, and the
# script checks every file the .dsc names against its SHA-256 sum before unpacking. No prebuilt
# binaries are used. The versions are the ones Debian 12 ships; a version that has left the
# mirror makes the download fail, and the pin below is then moved to the current one.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

openssl_version=3.0.20-1~deb12u2
pugixml_version=1.13-0.2
googletest_version=1.12.1-0.2

cache=${KRI_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/kriatmnsvc/windows-deps}
jobs=$(nproc)
key="openssl-${openssl_version}_pugixml-${pugixml_version}_googletest-${googletest_version}"
key=${key//\~/-}

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 i686)

apt_options() {
    echo -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$cache/apt/sources" \
        -o "Dir::State::Lists=$cache/apt/lists" -o "Dir::Cache=$cache/apt/cache" \
        -o Debug::NoLocking=1 -o APT::Sandbox::User=root
}

# Downloads the three source packages into $cache/sources/<key> once.
fetch_sources() {
    local dir=$cache/sources/$key
    [ -f "$dir/.verified" ] && return 0
    mkdir -p "$cache/apt/sources" "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial"
    cat >"$cache/apt/sources/debian-src.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    rm -rf "$dir"
    mkdir -p "$dir"
    # shellcheck disable=SC2046
    apt-get -qq $(apt_options) update
    # shellcheck disable=SC2046
    (cd "$dir" && apt-get -qq $(apt_options) source --download-only \
        "openssl=$openssl_version" "pugixml=$pugixml_version" "googletest=$googletest_version")
    local dsc
    for dsc in "$dir"/*.dsc; do
        verify_dsc "$dsc"
    done
    touch "$dir/.verified"
}

# Every file the .dsc lists must be present with the SHA-256 sum the .dsc gives.
verify_dsc() {
    local dsc=$1 dir sums
    dir=$(dirname "$dsc")
    sums=$(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc" | awk '{print $1 "  " $3}')
    if [ -z "$sums" ]; then
        echo "windows-deps: $dsc lists no SHA-256 sums" >&2
        exit 1
    fi
    if ! (cd "$dir" && sha256sum --quiet --strict -c - <<<"$sums"); then
        echo "windows-deps: the files of $(basename "$dsc") do not match its checksums" >&2
        exit 1
    fi
}

# Runs a build step with its output in $log; on failure shows the end of it.
logged() {
    if ! "$@" >>"$log" 2>&1; then
        echo "windows-deps: failed: $*" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

# Unpacks a verified source package (Debian's patches applied) into a fresh directory.
unpack() {
    local package=$1 version=$2 into=$3
    rm -rf "$into"
    dpkg-source --no-check -x "$cache/sources/$key/${package}_${version}.dsc" "$into" >/dev/null
}

build_arch() {
    local arch=$1 triplet=$1-w64-mingw32
    local prefix=$cache/$triplet/$key
    if [ -f "$prefix/.complete" ]; then
        ln -sfn "$key" "$cache/$triplet/current"
        echo "windows-deps: $triplet: $key (cached)"
        return 0
    fi
    fetch_sources
    local work=$cache/work/$triplet
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    log=$work/build.log

    # x86: OpenSSL's 32-bit assembly comes out as position-independent ELF code (GOT-relative
    # relocations) that the COFF assembler cannot represent, so that build uses its C code.
    local openssl_target=mingw64 openssl_options=()
    [ "$arch" = i686 ] && openssl_target=mingw openssl_options=(no-asm)
    unpack openssl "$openssl_version" "$work/openssl"
    (
        cd "$work/openssl"
        unset CC CXX CFLAGS CXXFLAGS LDFLAGS CPPFLAGS
        logged ./Configure "$openssl_target" no-shared no-tests "${openssl_options[@]}" \
            "--cross-compile-prefix=$triplet-" "--prefix=$prefix" --libdir=lib
        logged nice make -j "$jobs" build_libs
        logged make install_dev
    )

    local toolchain=$source_dir/cmake/mingw-w64-$arch.cmake
    local package version
    for package in pugixml googletest; do
        version=${package}_version
        unpack "$package" "${!version}" "$work/$package"
        local options=()
        [ "$package" = googletest ] && options=(-DBUILD_GMOCK=ON -DINSTALL_GTEST=ON)
        logged cmake -S "$work/$package" -B "$work/$package-build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKRI_WINDOWS_DEPS_PREFIX="$prefix" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
            -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "${options[@]}"
        logged nice cmake --build "$work/$package-build" -j "$jobs"
        logged cmake --install "$work/$package-build"
    done

    rm -rf "$work"
    touch "$prefix/.complete"
    ln -sfn "$key" "$cache/$triplet/current"
    echo "windows-deps: $triplet: $key (built)"
}

for arch in "${arches[@]}"; do
    case $arch in
    x86_64 | i686) build_arch "$arch" ;;
    *)
        echo "windows-deps: unknown architecture '$arch' (x86_64 or i686)" >&2
        exit 2
        ;;
    esac
done
