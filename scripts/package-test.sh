#!/usr/bin/env bash
# Builds the Debian package and tests it:
#   1. configures build-package/ (no tests, no benchmarks), builds it and runs cpack;
#   2. checks the package's files, dependencies, conffiles and maintainer scripts, and runs
#      lintian on it (installing lintian if it is missing): no errors allowed;
#   3. in a throw-away overlay root (scripts/sandbox-root.sh; the host's own system is never
#      changed) installs it with `apt-get install ./kriatmnsvc_*.deb`: the service account, the
#      spool and the file modes; the packaged unit is the one `KriAtmnSvc -install` writes and
#      its `systemd-analyze security` exposure is at most 2.5; runs the installed programs from
#      their installed paths (usage, --help, a link check with the shipped scenario), installs
#      the unit with `KriAtmnSvc -install` and registers the simulator;
#   4. removes it with `apt-get remove`: every program file, the unit and the registration are
#      gone, the two configuration files stay; `apt-get purge` then takes those away too.
# It must run as root. Where the machine cannot make the overlay root (see
# sandbox_unavailable), steps 3 and 4 are skipped with a line that says why.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sandbox-root.sh

[ "$(id -u)" -eq 0 ] || { echo "package-test: run as root" >&2; exit 2; }

build=build-package
unit=/etc/systemd/system/KriAtmn.service
packaged_unit=/lib/systemd/system/KriAtmn.service
registration="/etc/kri-registry/HKEY_CLASSES_ROOT/CLSID/{D35472C6-3643-4749-B8DA-E8ACFCC6FDC6}/InprocServer32/@"
export DEBIAN_FRONTEND=noninteractive

fail() {
    echo "package-test: $*" >&2
    exit 1
}

files=(
    /usr/bin/KriAtmnSvc /usr/bin/KriAtmnRegister /usr/bin/KriAggrReceiver
    /usr/lib/kriatmnsvc/libKriAtmnSimulator.so /usr/lib/kriatmnsvc/libkricom.so
    /usr/share/kriatmnsvc/scenarios/studio-hour.xml
    /usr/share/doc/kriatmnsvc/README.md /usr/share/doc/kriatmnsvc/scenario.md
    /usr/share/doc/kriatmnsvc/messages.md /usr/share/doc/kriatmnsvc/copyright
    /usr/share/doc/kriatmnsvc/changelog.gz /usr/share/man/man8/KriAtmnSvc.8.gz
    /usr/share/man/man8/KriAtmnRegister.8.gz /usr/share/man/man1/KriAggrReceiver.1.gz
    "$packaged_unit"
)
conffiles=(
    /etc/kriatmnsvc/KriAtmnSvc.xml
    /etc/kri-registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config
)

# Steps 3 and 4, run inside the overlay root.
installed_checks() {
    local deb=$1
    apt-get install -y -qq "$deb" >/dev/null
    for f in "${files[@]}" "${conffiles[@]}"; do
        [ -e "$f" ] || fail "$f was not installed"
    done
    getent passwd kriatmn >/dev/null || fail "postinst made no account kriatmn"
    [ "$(stat -c '%a %U:%G' /var/spool/kriatmnsvc)" = "700 kriatmn:kriatmn" ] ||
        fail "spool: $(stat -c '%a %U:%G' /var/spool/kriatmnsvc)"
    [ "$(stat -c '%a %U:%G' "${conffiles[0]}")" = "640 root:kriatmn" ] ||
        fail "configuration: $(stat -c '%a %U:%G' "${conffiles[0]}")"
    [ "$(stat -c '%a %U:%G' /etc/kriatmnsvc/certs)" = "750 root:kriatmn" ] ||
        fail "certificate directory: $(stat -c '%a %U:%G' /etc/kriatmnsvc/certs)"
    if readelf -S /usr/bin/KriAtmnSvc | grep -qF '.symtab'; then
        fail "KriAtmnSvc is not stripped"
    fi
    grep -qF 'scenario="/usr/share/kriatmnsvc/scenarios/studio-hour.xml"' "${conffiles[0]}" ||
        fail "the installed configuration does not name the installed scenario"
    [ "$(cat "${conffiles[1]}")" = /etc/kriatmnsvc/KriAtmnSvc.xml ] || fail "wrong registry value"

    # The packaged unit is what "-install" writes for the installed program.
    local units
    units=$(mktemp -d)
    KRI_SYSTEMD_UNIT_DIR=$units KRI_SYSTEMCTL=true KriAtmnSvc -install | grep -q 'installed\.' ||
        fail "KriAtmnSvc -install into $units failed"
    diff "$packaged_unit" "$units/KriAtmn.service" || fail "-install writes another unit"
    rm -rf "$units"
    systemd-analyze security --offline=yes --threshold=25 "$packaged_unit" >/dev/null ||
        fail "exposure above 2.5: $(systemd-analyze security --offline=yes "$packaged_unit" | tail -1)"

    (cd / && KriAtmnSvc 2>/dev/null || true) | grep -qF -- "-install          to install the service" ||
        fail "KriAtmnSvc printed no usage"
    # Read whole: grep -q stops reading at the first line, and a long text then meets a closed pipe.
    usage=$(KriAggrReceiver --help || true)
    grep -q '^Usage: ' <<<"$usage" || fail "KriAggrReceiver --help printed no usage"
    scripts/installed-link-check.sh /usr/bin /usr/lib/kriatmnsvc/libKriAtmnSimulator.so \
        /usr/share/kriatmnsvc/scenarios/studio-hour.xml

    KRI_SYSTEMCTL=true KriAtmnSvc -install | grep -q 'installed\.' || fail "KriAtmnSvc -install failed"
    grep -qxF 'ExecStart="/usr/bin/KriAtmnSvc"' "$unit" || fail "the unit does not run /usr/bin/KriAtmnSvc"
    KriAtmnRegister /usr/lib/kriatmnsvc/libKriAtmnSimulator.so >/dev/null
    [ -f "$registration" ] || fail "the simulator's registration is not at $registration"

    apt-get remove -y -qq kriatmnsvc >/dev/null
    for f in "${files[@]}" "$unit" "$registration"; do
        [ ! -e "$f" ] || fail "$f is left after apt-get remove"
    done
    for f in "${conffiles[@]}"; do
        [ -e "$f" ] || fail "apt-get remove took the configuration file $f"
    done
    apt-get purge -y -qq kriatmnsvc >/dev/null
    for f in "${conffiles[@]}" /etc/kriatmnsvc /var/spool/kriatmnsvc /usr/lib/kriatmnsvc \
        /usr/share/kriatmnsvc /usr/share/doc/kriatmnsvc; do
        [ ! -e "$f" ] || fail "$f is left after apt-get purge"
    done
    echo "package-test: installed, removed and purged in an overlay root"
}

if [ "${1:-}" = --inside ]; then
    installed_checks "$2"
    exit 0
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRI_BUILD_TESTS=OFF \
    -DKRI_BUILD_BENCH=OFF >/dev/null
nice -n 10 cmake --build "$build" -j 2
rm -f "$build"/kriatmnsvc_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(realpath "$build"/kriatmnsvc_*.deb)
echo "package-test: built $deb"

# 2. The package itself.
content=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\.||')
for f in "${files[@]}" "${conffiles[@]}"; do
    grep -qxF "$f" <<<"$content" || fail "$f is not in the package"
done
grep -q '^/usr/local' <<<"$content" && fail "the package writes to /usr/local"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libssl3 libpugixml1v5 libsystemd0 libcpp-httplib0.11 adduser; do
    grep -qw "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done
control=$(mktemp -d)
dpkg-deb -e "$deb" "$control"
diff <(printf '%s\n' "${conffiles[@]}") "$control/conffiles" || fail "unexpected conffiles"
for s in postinst prerm postrm; do
    [ -x "$control/$s" ] || fail "$s is missing or not executable"
done
rm -rf "$control"
if ! command -v lintian >/dev/null; then
    apt-get install -y -qq --no-install-recommends lintian >/dev/null
fi
lintian_out=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then
    fail "lintian reports errors"
fi

# 3 and 4, in an overlay root.
if reason=$(sandbox_unavailable); then
    echo "package-test: not installed: $reason"
    echo "package-test: passed (without installing)"
    exit 0
fi
base=$(mktemp -d)
trap 'rmdir "$base"' EXIT
unshare --mount --pid --fork --mount-proc bash -c '
    source scripts/sandbox-root.sh
    sandbox_make_root "$1"
    exec chroot "$1/root" /bin/bash -c "cd \"\$0\" && scripts/package-test.sh --inside \"\$1\"" "$2" "$3"
' bash "$base" "$PWD" "$deb"
echo "package-test: passed"
