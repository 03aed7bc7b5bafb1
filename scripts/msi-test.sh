#!/usr/bin/env bash
# Tests the Windows Installer package of a Windows build tree under Wine:
#   scripts/msi-test.sh <build directory>          (build-windows or build-windows32)
# scripts/windows-test.sh runs it after the build's tests.
#
# It builds two packages from the tree's programs, signed with a throw-away certificate made
# here: the build's version and an older one (0.0.1). Then it checks the signatures, the tables
# of the package (msiinfo), and, in a Wine prefix of its own (<build>/wine-msi, removed at the
# end), what an administrator sees:
#   - a silent installation with the server and studio properties: the programs, the service,
#     the registry value "Config", the configuration made from the properties, and no simulator;
#   - the package of the other bitness is refused while this one is installed;
#   - an upgrade from the older package keeps an edited configuration;
#   - an uninstallation while the service runs removes the programs, the service and "Config",
#     and keeps the configuration and the spool; one with PURGE=1 removes them too;
#   - the simulator feature, asked for with ADDLOCAL=ALL, is installed and registered;
#   - START=1 starts the service, and transactions arrive at the reference receiver on
#     loopback (the default build's KriAggrReceiver, or KRI_RECEIVER);
#   - an older package is refused.
# Wine keeps no access control lists (it makes a file's from its Unix mode), so the folders'
# protection is not checked here; see docs/windows.md. Every Wine program is bounded by a
# time-out. Exit status 0 when every check passed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 1 ]; then
    echo "usage: msi-test.sh <build directory>" >&2
    exit 2
fi
build=$(realpath "$1")
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache_value CMAKE_PROJECT_VERSION)
case $(cache_value CMAKE_TOOLCHAIN_FILE) in
*x86_64.cmake) arch=x64 other=x86 view=/reg:64 ;;
*i686.cmake) arch=x86 other=x64 view=/reg:32 ;;
*)
    echo "msi-test: $build is no Windows build tree" >&2
    exit 2
    ;;
esac

work=$(mktemp -d)
export WINEPREFIX=$build/wine-msi WINEDEBUG=-all
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$WINEPREFIX.lock" "$WINEPREFIX.log" "$work"
}
trap cleanup EXIT

failures=0
check() { # check <description> <command...>: runs the command, says whether it passed
    local what=$1
    shift
    if "$@" >"$work/check.out" 2>&1; then
        echo "msi-test: ok: $what"
    else
        echo "msi-test: FAILED: $what"
        sed 's/^/    /' "$work/check.out"
        failures=$((failures + 1))
    fi
}
fail() {
    echo "$*"
    return 1
}
wine_bounded() { timeout 180 wine "$@"; }

# --- Packages, signed with a throw-away certificate -------------------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KriAtmnSvc test signing" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/sign.key" -out "$work/sign.crt" \
    2>/dev/null
# The plug-in's name without the "lib" of MinGW's modules, where the build drops it.
simulator=$build/Tools/AtmnSimulator/KriAtmnSimulator.dll
[ -f "$simulator" ] || simulator=$build/Tools/AtmnSimulator/libKriAtmnSimulator.dll
build_package() { # build_package <arch> <version> <output>
    "$source_dir/scripts/build-msi.sh" --arch "$1" --version "$2" \
        --service "$build/Tools/RovazoRiva/Playlist/KriAtmnSvc/KriAtmnSvc.exe" \
        --simulator "$simulator" \
        --scenario "$source_dir/Tools/AtmnSimulator/scenarios/studio-hour.xml" \
        --sign-cert "$work/sign.crt" --sign-key "$work/sign.key" --out "$3" >/dev/null
}
current=$work/KriAtmnSvc-$version-$arch.msi
previous=$work/KriAtmnSvc-0.0.1-$arch.msi
# Only its launch condition is used: it is refused before any of its programs would run.
other_bitness=$work/KriAtmnSvc-$version-$other.msi
build_package "$arch" "$version" "$current"
build_package "$arch" 0.0.1 "$previous"
build_package "$other" "$version" "$other_bitness"

verified() { osslsigncode verify -CAfile "$work/sign.crt" -in "$1" | grep -q "Signature verification: ok"; }
msiextract -C "$work/extracted" "$current" >/dev/null
packed=$(find "$work/extracted" -name KriAtmnSvc.exe)
check "the package is signed" verified "$current"
check "the service program inside it is signed" verified "$packed"
unsigned_copy() { osslsigncode remove-signature \
    -in "$current" -out "$work/unsigned.msi" >/dev/null && ! verified "$work/unsigned.msi"; }
check "a package without its signature fails verification" unsigned_copy

# --- The tables --------------------------------------------------------------------------------
# msiinfo ends its lines with CR LF.
table() { msiinfo export "$current" "$1" | tr -d '\r'; }
sequence_of() { table InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
tables_readable() {
    for name in $(msiinfo tables "$current"); do
        msiinfo export "$current" "$name" >/dev/null || fail "table $name cannot be read" || return
    done
}
platform_and_language() {
    local expected="x64;1033"
    [ "$arch" = x64 ] || expected="Intel;1033"
    msiinfo suminfo "$current" | grep -qx "Template: $expected" ||
        fail "$(msiinfo suminfo "$current" | grep Template) is not $expected" || return
}
# Deferred (1024) and as the local system (2048): they run inside the script, elevated.
deferred_system_actions() {
    local first last action type
    first=$(sequence_of InstallInitialize)
    last=$(sequence_of InstallFinalize)
    for action in ServiceClear ServiceInstall ServiceSetup ServiceRemove ServicePurge SimulatorRegister \
        SimulatorUnregister ServiceStart; do
        type=$(table CustomAction | awk -F'\t' -v a="$action" '$1 == a { print $2 }')
        [ -n "$type" ] || fail "no custom action $action" || return
        [ $((type & 3072)) -eq 3072 ] || fail "$action (type $type) is not deferred as system" || return
        local at
        at=$(sequence_of "$action")
        [ -n "$at" ] && [ "$at" -gt "$first" ] && [ "$at" -lt "$last" ] ||
            fail "$action ($at) is not between InstallInitialize and InstallFinalize" || return
    done
    [ "$(sequence_of ServiceRemove)" -lt "$(sequence_of RemoveFiles)" ] ||
        fail "the service is removed after its program" || return
    [ "$(sequence_of ServiceInstall)" -gt "$(sequence_of InstallFiles)" ] ||
        fail "the service is installed before its program" || return
}
config_value() {
    table Registry | grep -qP '^\S+\t2\tSOFTWARE\\Varnholt\\KriAtmnSvc\tConfig\t\[CommonAppDataFolder\]KriAtmnSvc\\KriAtmnSvc\.xml\tServiceProgram$'
}
simulator_off_by_default() {
    local level
    level=$(table Feature | awk -F'\t' '$1 == "Simulator" { print $6 }')
    [ -n "$level" ] && [ "$level" -gt 1 ] || fail "the simulator's feature level is '$level'" || return
}
other_bitness_refused() {
    table Upgrade | grep -q 'OTHERBITNESSFOUND' &&
        table LaunchCondition | grep -q '^NOT OTHERBITNESSFOUND'
}
check "every table can be read" tables_readable
check "the package is for $arch, English" platform_and_language
check "custom actions run deferred as the local system, in order" deferred_system_actions
check "the registry value Config names the configuration" config_value
check "the simulator feature is off by default" simulator_off_by_default
check "the other bitness is detected and refused" other_bitness_refused

# --- Under Wine ----------------------------------------------------------------------------------
rm -rf "$WINEPREFIX"
if ! "$source_dir/scripts/wine-run.sh" "$WINEPREFIX" cmd /c echo wine-runs 2>&1 | grep -q wine-runs; then
    echo "msi-test: Wine cannot run a program here"
    exit 1
fi
drive=$WINEPREFIX/drive_c
if [ "$arch" = x64 ]; then program_dir="$drive/Program Files/Kri/KriAtmnSvc"; else
    program_dir="$drive/Program Files (x86)/Kri/KriAtmnSvc"
fi
data_dir=$drive/ProgramData/KriAtmnSvc
config=$data_dir/KriAtmnSvc.xml
msiexec() { wine_bounded msiexec "$@" /qn; }
install() { msiexec /i "$(winepath -w "$1")" "${@:2}"; }
uninstall() { msiexec /x "$(msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')" "${@:2}"; }
service_state() { wine_bounded sc query KriAtmn | sed -n 's/^ *STATE *: [0-9]*  *//p' | tr -d '\r'; }
service_present() { wine_bounded sc query KriAtmn | grep -q "SERVICE_NAME: KriAtmn"; }
service_absent() { ! service_present; }
config_registered() {
    wine_bounded reg query 'HKLM\SOFTWARE\Varnholt\KriAtmnSvc' /v Config $view |
        grep -qF 'C:\ProgramData\KriAtmnSvc\KriAtmnSvc.xml'
}
config_unregistered() { ! config_registered; }
installed_version() {
    wine_bounded reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s $view |
        grep -q "DisplayVersion.*$1"
}
simulator_registered() { wine_bounded reg query 'HKCR\Kri.AtmnSimulator\CLSID' $view | grep -q '{'; }
simulator_unregistered() { ! simulator_registered; }

# The reference receiver on loopback, for the installed service to send to.
receiver_program=${KRI_RECEIVER:-$source_dir/build/Tools/AggrReceiver/KriAggrReceiver}
port=4433
if [ -x "$receiver_program" ]; then
    "$source_dir/Tests/certs/make-test-certs.sh" "$work/certs" >/dev/null
    "$receiver_program" --cert "$work/certs/server.crt" --key "$work/certs/server.key" \
        --ca "$work/certs/ca.crt" --address 127.0.0.1 --port 0 \
        --transactions "$work/transactions.txt" </dev/null >"$work/receiver.log" 2>&1 &
    receiver=$!
    for _ in $(seq 50); do
        port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/receiver.log")
        [ -z "$port" ] || break
        sleep 0.1
    done
    [ -n "$port" ] || fail "msi-test: the receiver did not start: $(cat "$work/receiver.log")"
else
    echo "msi-test: not checked: transactions at the receiver (no $receiver_program; build the default preset)"
fi
stop_receiver() { [ -z "${receiver:-}" ] || kill "$receiver" 2>/dev/null || true; }
trap 'stop_receiver; cleanup' EXIT

check "the older package installs silently with properties" install "$previous" \
    SERVERADDRESS=127.0.0.1 "SERVERPORT=$port" STUDIOID=12 "STUDIONAME=Studio B & Co"
check "the programs are in Program Files" test -f "$program_dir/KriAtmnSvc.exe"
check "the simulator is not installed by default" test ! -e "$program_dir/KriAtmnSimulator.dll"
check "the service is present, not started" test "$(service_state)" = STOPPED
check "the registry value Config is set" config_registered
check "the configuration is made from the properties" grep -q \
    "<AggrServer ip=\"127.0.0.1\" port=\"$port\">" "$config"
check "the configuration names the studio" grep -q '<Studio id="12" name="Studio B &amp; Co" />' "$config"
check "the spool and certificate folders exist" test -d "$data_dir/spool" -a -d "$data_dir/certs"
# -install registers the event source, and -remove deletes it, from the time the source tree's
# -install does.
event_source() {
    wine_bounded reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KriAtmn' \
        /v EventMessageFile /reg:64 | grep -qi 'KriAtmnSvc.exe'
}
no_event_source() { ! event_source; }
if grep -q EventMessageFile "$source_dir"/Platform/*Windows.cpp "$source_dir"/Helpers/KRIUtilitylib/Source/*.cpp; then
    check_event_source() { check "$1" "$2"; }
else
    check_event_source() { echo "msi-test: not checked: $1 (-install does not register one yet)"; }
fi
check_event_source "the event source is registered" event_source
refused_other() { ! install "$other_bitness" && installed_version 0.0.1 && service_present; }
check "the package of the other bitness is refused" refused_other

# The operator's edit: the simulator at 200 times its speed, and the studio's certificates.
sed -i 's/speed="1"/speed="200"/' "$config"
cp "$config" "$work/edited.xml"
[ ! -d "$work/certs" ] || cp "$work/certs/ca.crt" "$work/certs/client.crt" "$work/certs/client.key" "$data_dir/certs/"

check "the upgrade with the simulator installs silently and starts the service" \
    install "$current" STUDIOID=99 ADDLOCAL=ALL START=1 AUTOSTART=1
check "the upgrade replaced the product" installed_version "$version"
check "the upgrade kept the edited configuration" cmp "$config" "$work/edited.xml"
check "the simulator is installed and registered" simulator_registered
if grep -q kServiceAutoStart "$source_dir/Helpers/KRIUtilitylib/Source/W32Service.cpp"; then
    service_starts_automatically() {
        wine_bounded reg query 'HKLM\SYSTEM\CurrentControlSet\Services\KriAtmn' /v Start /reg:64 |
            grep -q 'REG_DWORD *0x2'
    }
    check "AUTOSTART=1 made the start automatic" service_starts_automatically
else
    echo "msi-test: not checked: AUTOSTART=1 (-install has no automatic start yet)"
fi
if [ -n "${receiver:-}" ]; then
    transactions_arrive() {
        for _ in $(seq 120); do
            [ "$(grep -c '^--- transaction' "$work/transactions.txt" 2>/dev/null)" -lt 5 ] || return 0
            sleep 0.5
        done
        echo "service: $(service_state)"
        cat "$work/receiver.log"
        return 1
    }
    check "transactions from the installed service arrive at the receiver" transactions_arrive
fi
check "the service runs" test "$(service_state)" = RUNNING

check "the uninstallation while the service runs ends" uninstall "$current"
check "the programs are gone" test ! -e "$program_dir"
check "the service is gone" service_absent
check "the registry value Config is gone" config_unregistered
check_event_source "the event source is gone" no_event_source
check "the simulator's registration is gone" simulator_unregistered
check "the configuration, certificates and spool are kept" \
    test -f "$config" -a -f "$data_dir/certs/ca.crt" -a -d "$data_dir/spool"

check "a reinstallation keeps the existing configuration" install "$current" ADDLOCAL=ALL
check "the configuration is the edited one" cmp "$config" "$work/edited.xml"
refused_older() { ! install "$previous" && installed_version "$version"; }
check "an older package is refused" refused_older
check "the uninstallation with PURGE=1 ends" uninstall "$current" PURGE=1
check "PURGE=1 removed the data folder" test ! -e "$data_dir"
check "nothing of the product is left" test ! -e "$program_dir" -a "$(service_present && echo yes)" != yes

if [ "$failures" -gt 0 ]; then
    echo "msi-test: $failures checks failed"
    exit 1
fi
echo "msi-test: all checks passed ($arch)"
