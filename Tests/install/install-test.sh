#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and runs the installed programs from there:
# every file in its place, the configuration and the registry value below the prefix (nothing
# is written to /etc), the usage and help texts, and a link check of the installed service,
# plug-in and receiver.
#
#   Tests/install/install-test.sh <build dir>
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

fail() {
    echo "install-test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log" >&2; rm -f "$prefix.log"; fail "cmake --install failed"; }
rm -f "$prefix.log"

for f in bin/KriAtmnSvc bin/KriAtmnRegister bin/KriAggrReceiver \
    lib/kriatmnsvc/libKriAtmnSimulator.so lib/kriatmnsvc/libkricom.so \
    share/kriatmnsvc/scenarios/studio-hour.xml share/doc/kriatmnsvc/README.md \
    share/doc/kriatmnsvc/scenario.md share/doc/kriatmnsvc/messages.md etc/kriatmnsvc/KriAtmnSvc.xml \
    etc/kri-registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config; do
    [ -s "$prefix/$f" ] || fail "$f is not installed"
done
config=$prefix/etc/kriatmnsvc/KriAtmnSvc.xml
[ "$(cat "$prefix/etc/kri-registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc/Config")" = "$config" ] ||
    fail "the registry value does not name $config"
grep -qF "scenario=\"$prefix/share/kriatmnsvc/scenarios/studio-hour.xml\"" "$config" ||
    fail "the sample configuration does not name the installed scenario"

# An edited configuration survives a second installation.
echo '<!-- edited -->' >>"$config"
cmake --install "$build" --prefix "$prefix" >/dev/null
grep -q 'edited' "$config" || fail "a second installation overwrote the configuration"

[ "$(stat -c %a "$config")" = 640 ] || fail "the configuration is $(stat -c %a "$config"), not 640"

# The unit for the installed program, sandboxed well enough.
unit=$prefix/lib/systemd/system/KriAtmn.service
grep -qxF "ExecStart=\"$prefix/bin/KriAtmnSvc\"" "$unit" || fail "the unit does not run the installed program"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze security --offline=yes --threshold=25 "$unit" >/dev/null ||
        fail "the unit's exposure is above 2.5: $(systemd-analyze security --offline=yes "$unit" | tail -1)"
fi

usage=$("$prefix/bin/KriAtmnSvc" 2>/dev/null || true)
grep -qF -- "-install          to install the service" <<<"$usage" || fail "KriAtmnSvc printed no usage"
# Read whole: grep -q stops reading at the first line, and a long text then meets a closed pipe.
usage=$("$prefix/bin/KriAggrReceiver" --help || true)
grep -q '^Usage: ' <<<"$usage" || fail "KriAggrReceiver --help printed no usage"

"$source_dir/scripts/installed-link-check.sh" "$prefix/bin" "$prefix/lib/kriatmnsvc/libKriAtmnSimulator.so"
