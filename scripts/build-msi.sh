#!/usr/bin/env bash
# Builds the Windows Installer package from packaging/windows/KriAtmnSvc.wxs with wixl:
#   scripts/build-msi.sh --arch x64|x86 --version 1.2.3 --service KriAtmnSvc.exe
#       --simulator KriAtmnSimulator.dll --scenario studio-hour.xml --out KriAtmnSvc-1.2.3-x64.msi
#       [--sign-cert CERT.pem --sign-key KEY.pem]
# The build's "msi" target runs it (Windows presets). With a certificate and its key (PEM, also
# from KRI_SIGN_CERT and KRI_SIGN_KEY) the programs are signed with osslsigncode before they are
# packed, and the package afterwards; without, nothing is signed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

arch= version= service= simulator= scenario= out=
sign_cert=${KRI_SIGN_CERT:-}
sign_key=${KRI_SIGN_KEY:-}
while [ $# -gt 0 ]; do
    case $1 in
    --arch) arch=$2 ;;
    --version) version=$2 ;;
    --service) service=$2 ;;
    --simulator) simulator=$2 ;;
    --scenario) scenario=$2 ;;
    --out) out=$2 ;;
    --sign-cert) sign_cert=$2 ;;
    --sign-key) sign_key=$2 ;;
    *)
        echo "build-msi: unknown argument '$1'" >&2
        exit 2
        ;;
    esac
    shift 2
done
for value in arch version service simulator scenario out; do
    if [ -z "${!value}" ]; then
        echo "build-msi: --$value is missing" >&2
        exit 2
    fi
done
if [ "$arch" != x64 ] && [ "$arch" != x86 ]; then
    echo "build-msi: --arch is x64 or x86, not '$arch'" >&2
    exit 2
fi
if { [ -n "$sign_cert" ] && [ -z "$sign_key" ]; } || { [ -z "$sign_cert" ] && [ -n "$sign_key" ]; }; then
    echo "build-msi: signing needs both a certificate and its key" >&2
    exit 2
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

sign() {
    osslsigncode sign -certs "$sign_cert" -key "$sign_key" -h sha256 \
        -n "Kri Automation Interfacing Service" -in "$1" -out "$2" >/dev/null
}

# wixl takes a file's Source relative to the WiX source's folder.
cp "$source_dir/packaging/windows/KriAtmnSvc.wxs" "$stage/"
cp "$scenario" "$stage/studio-hour.xml"
if [ -n "$sign_cert" ]; then
    sign "$service" "$stage/KriAtmnSvc.exe"
    sign "$simulator" "$stage/KriAtmnSimulator.dll"
else
    cp "$service" "$stage/KriAtmnSvc.exe"
    cp "$simulator" "$stage/KriAtmnSimulator.dll"
fi
(cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -o package.msi KriAtmnSvc.wxs)
if [ -n "$sign_cert" ]; then
    sign "$stage/package.msi" "$out.new"
else
    cp "$stage/package.msi" "$out.new"
fi
mv "$out.new" "$out"
echo "build-msi: $out"
