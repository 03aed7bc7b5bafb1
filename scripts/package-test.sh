#!/usr/bin/env bash
# Builds the Debian package and tests it on this machine:
#   1. configures build-package/ (no tests, no benchmarks), builds it and runs cpack;
#   2. checks the package's files, dependencies, conffiles and maintainer scripts;
#   3. installs it with `apt-get install ./kriatmnsvc_*.deb`, runs the installed programs from
#      their installed paths (usage, --help, a link check with the shipped scenario), installs
#      the systemd unit with `KriAtmnSvc -install` and registers the simulator;
#   4. removes it with `apt-get remove`: every program file, the unit and the registration are
#      gone, the two configuration files stay; `apt-get purge` then takes those away too.
# It installs into the real system, so it must run as root on a machine that may be changed
# (a test machine or a container). A kriatmnsvc package installed before is purged first.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" -eq 0 ] || { echo "package-test: run as root (it installs the package)" >&2; exit 2; }

build=build-package
unit=/etc/systemd/system/KriAtmn.service
registration="/etc/kri-registry/HKEY_CLASSES_ROOT/CLSID/{D35472C6-3643-4749-B8DA-E8ACFCC6FDC6}/InprocServer32/@"
export DEBIAN_FRONTEND=noninteractive

fail() {
    echo "package-test: $*" >&2
    exit 1
}
purge() {
    if dpkg-query -W -f='${Status}' kriatmnsvc 2>/dev/null | grep -qv 'not-installed'; then
        apt-get purge -y -qq kriatmnsvc >/dev/null
    fi
}
trap purge EXIT
purge

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRI_BUILD_TESTS=OFF \
    -DKRI_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/kriatmnsvc_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(realpath "$build"/kriatmnsvc_*.deb)
echo "package-test: built $deb"

files=(
    /usr/bin/KriAtmnSvc /usr/bin/KriAtmnRegister /usr/bin/KriAggrReceiver
    /usr/lib/kriatmnsvc/libKriAtmnSimulator.so /usr/lib/kriatmnsvc/libkricom.so
    /usr/share/kriatmnsvc/scenarios/studio-hour.xml
    /usr/share/doc/kriatmnsvc/README.md /usr/share/doc/kriatmnsvc/scenario.md
    /usr/share/doc/kriatmnsvc/messages.md
)
conffiles=(
    /etc/kriatmnsvc/KriAtmnSvc.xml
    /etc/kri-registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config
)

# 2. The package itself.
content=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\.||')
for f in "${files[@]}" "${conffiles[@]}"; do
    grep -qxF "$f" <<<"$content" || fail "$f is not in the package"
done
grep -q '^/usr/local' <<<"$content" && fail "the package writes to /usr/local"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libssl3 libpugixml1v5 libsystemd0; do
    grep -qw "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done
control=$(mktemp -d)
dpkg-deb -e "$deb" "$control"
diff <(printf '%s\n' "${conffiles[@]}") "$control/conffiles" || fail "unexpected conffiles"
for s in postinst prerm; do
    [ -x "$control/$s" ] || fail "$s is missing or not executable"
done
rm -rf "$control"

# 3. Installed.
apt-get install -y -qq "$deb" >/dev/null
for f in "${files[@]}" "${conffiles[@]}"; do
    [ -e "$f" ] || fail "$f was not installed"
done
grep -qF 'scenario="/usr/share/kriatmnsvc/scenarios/studio-hour.xml"' /etc/kriatmnsvc/KriAtmnSvc.xml ||
    fail "the installed configuration does not name the installed scenario"
[ "$(cat "${conffiles[1]}")" = /etc/kriatmnsvc/KriAtmnSvc.xml ] || fail "wrong registry value"
(cd / && KriAtmnSvc 2>/dev/null || true) | grep -qF -- "-install          to install the service" ||
    fail "KriAtmnSvc printed no usage"
KriAggrReceiver --help | grep -q '^Usage: ' || fail "KriAggrReceiver --help printed no usage"
scripts/installed-link-check.sh /usr/bin /usr/lib/kriatmnsvc/libKriAtmnSimulator.so \
    /usr/share/kriatmnsvc/scenarios/studio-hour.xml

KriAtmnSvc -install | grep -q 'installed\.' || fail "KriAtmnSvc -install failed"
grep -qxF 'ExecStart="/usr/bin/KriAtmnSvc"' "$unit" || fail "the unit does not run /usr/bin/KriAtmnSvc"
KriAtmnRegister /usr/lib/kriatmnsvc/libKriAtmnSimulator.so >/dev/null
[ -f "$registration" ] || fail "the simulator's registration is not at $registration"

# 4. Removed, then purged.
apt-get remove -y -qq kriatmnsvc >/dev/null
for f in "${files[@]}" "$unit" "$registration"; do
    [ ! -e "$f" ] || fail "$f is left after apt-get remove"
done
for f in "${conffiles[@]}"; do
    [ -e "$f" ] || fail "apt-get remove took the configuration file $f"
done
apt-get purge -y -qq kriatmnsvc >/dev/null
for f in "${conffiles[@]}" /etc/kriatmnsvc /usr/lib/kriatmnsvc /usr/share/kriatmnsvc \
    /usr/share/doc/kriatmnsvc; do
    [ ! -e "$f" ] || fail "$f is left after apt-get purge"
done
echo "package-test: passed"
