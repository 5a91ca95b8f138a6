#!/usr/bin/env bash
# The installer package under Wine's msiexec. Each case runs in a Wine prefix of its own, a copy of a
# freshly booted template, so that "before" is a machine that has never seen Vornlink and nothing
# another test registers gets in the way.
# Usage: installer_e2e.sh <case>      (the "template" case makes the template; the rest need it)
# Environment (set by tests/installer.cmake): VORN_WINE_RUN, VORN_TEMPLATE, VORN_WORK, VORN_BIN,
# VORN_SOURCE, VORN_TEST_DIR, VORN_GENERATED, VORN_UPGRADE_CODE, and VORN_MSI, VORN_VERSION,
# VORN_PRODUCT_CODE with their _NEXT counterparts (the same source at a higher version), and
# VORN_PROGRAM_FILES (the folder the package installs into: "Program Files" for the 64-bit test build).
set -uo pipefail
: "${VORN_WINE_RUN:?}" "${VORN_TEMPLATE:?}" "${VORN_WORK:?}" "${VORN_BIN:?}" "${VORN_SOURCE:?}" \
  "${VORN_TEST_DIR:?}" "${VORN_GENERATED:?}" "${VORN_UPGRADE_CODE:?}" "${VORN_MSI:?}" "${VORN_VERSION:?}" \
  "${VORN_PRODUCT_CODE:?}" "${VORN_MSI_NEXT:?}" "${VORN_VERSION_NEXT:?}" "${VORN_PRODUCT_CODE_NEXT:?}"

CASE="${1:?case name}"
WORK="$VORN_WORK/$CASE"
FAILED=0

# No desktop integration: winemenubuilder writes its own registry keys whenever it gets round to it.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" LC_ALL=C.UTF-8
# Without a display a message box returns at once instead of waiting for a click.
unset DISPLAY WAYLAND_DISPLAY WINEPATH VORN_SIM_LOG VORN_SIM_FAULT

fail() { echo "FAIL: $*"; FAILED=1; }
die() { echo "FAIL: $*"; FAILED=1; exit 1; }
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }

use_prefix() {
    PREFIX="$1"
    export WINEPREFIX="$PREFIX" VORN_WINEPREFIX="$PREFIX"
    INSTALL_DIR="$PREFIX/drive_c/${VORN_PROGRAM_FILES:-Program Files (x86)}/Vornlink"
    SIM_DIR="$INSTALL_DIR/Simulated module"
    TRACE_DIR="$INSTALL_DIR/Tracing module"
}

# Wine's server and its helpers start with stdio on /dev/null: they outlive the call that starts them
# and would otherwise hold ctest's pipe open. Every Wine call has a time limit and writes to files.
server_start() {
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 120 wine wineboot </dev/null >/dev/null 2>&1 || die "wineboot failed in $PREFIX"
}
# Stopping the server also writes the registry files out.
server_stop() {
    timeout 30 wineserver -k </dev/null >/dev/null 2>&1
    timeout 30 wineserver -w </dev/null >/dev/null 2>&1
}
wine_run() { timeout 120 "$VORN_WINE_RUN" "$@" </dev/null; }

# msi_run <log name> <msiexec arguments...>: quiet, with a verbose log; sets RC (msiexec's exit code
# arrives cut to 8 bits under Wine: 1603 reads 67).
msi_run() {
    local log="$1"
    shift
    wine_run msiexec "$@" /qn /l*v "$(winpath "$WORK/$log.log")" >"$WORK/$log.out" 2>&1
    RC=$?
    [ "$RC" = 124 ] && die "msiexec $* did not finish within 120 s"
}
expect_rc() { [ "$RC" = "$1" ] || fail "$2: exit code $RC, expected $1 (log: $WORK/$3.log)"; }
install() { msi_run "$1" /i "${@:2}"; expect_rc 0 "installing ${*:2}" "$1"; }
uninstall() { msi_run "$1" /x "${@:2}"; expect_rc 0 "uninstalling ${*:2}" "$1"; }

# snapshot <name>: the whole registry and the file tree of drive C:, as sorted lines.
snapshot() {
    server_stop
    {
        awk -v root=HKLM -f "$VORN_TEST_DIR/registry_snapshot.awk" "$PREFIX/system.reg"
        awk -v root=HKCU -f "$VORN_TEST_DIR/registry_snapshot.awk" "$PREFIX/user.reg"
        awk -v root=HKU.Default -f "$VORN_TEST_DIR/registry_snapshot.awk" "$PREFIX/userdef.reg"
    } | LC_ALL=C sort >"$WORK/$1.reg"
    (cd "$PREFIX/drive_c" && find . -printf '%y %p\n') | LC_ALL=C sort >"$WORK/$1.files"
    server_start
}

# What Wine itself changes from one start to the next, and the Windows Installer's own folders, which
# stay (empty) once the last product is gone, as on Windows.
NOISE='^HKLM\\system\\\\currentcontrolset\\\\(control\\\\class|control\\\\deviceclasses|enum)\\\\'
NOISE+='|^HKLM\\software\\\\microsoft\\\\windows nt\\\\currentversion\\\\networkcards$'
NOISE+='|^HKLM\\software\\\\classes\\\\installer\\\\(features|products|upgradecodes)$'
NOISE+='|^HKLM\\software\\\\microsoft\\\\windows\\\\currentversion\\\\installer\\\\(upgradecodes|userdata\\\\s-1-5-18\\\\(components|products))$'
NOISE+='|^d \./windows/installer$'
# Written by whichever of Wine's 32- or 64-bit start-up programs ran last.
NOISE+='|^HKLM\\system\\\\currentcontrolset\\\\control\\\\session manager\\\\environment[[:space:]]"processor_(architecture|identifier)"='
without_noise() { grep -Eiv "$NOISE" "$1" || true; }

# same_state <before> <after> <what> [ignored]: registry and files alike, Wine's noise and lines matching
# the extended regular expression <ignored> aside.
same_state() {
    local ext ignored="${4:-^$}"
    for ext in reg files; do
        diff <(without_noise "$WORK/$1.$ext" | grep -Eiv "$ignored") <(without_noise "$WORK/$2.$ext" | grep -Eiv "$ignored") \
            >"$WORK/$2-vs-$1.$ext.diff" ||
            fail "$3: the ${ext/reg/registry} differs from $1:$(head -40 "$WORK/$2-vs-$1.$ext.diff")"
    done
}

# The Windows Installer writes GUIDs in its own keys "packed": each of the first three groups
# reversed, then each byte's two hexadecimal digits swapped.
packed() {
    local g="${1//[\{\}]/}"
    local a="${g:0:8}" b="${g:9:4}" c="${g:14:4}" rest="${g:19:4}${g:24:12}" out="" i
    out="$(rev <<<"$a")$(rev <<<"$b")$(rev <<<"$c")"
    for ((i = 0; i < 16; i += 2)); do out+="${rest:i+1:1}${rest:i:1}"; done
    printf '%s' "$out"
}

# Everything that marks a trace of ours: the names, every GUID the registration uses, the product and
# upgrade codes, plain and packed.
markers() {
    local guid list="vorn"
    for guid in $(grep -oE '\{[0-9A-Fa-f-]{36}\}' "$VORN_GENERATED/Registration32.wxi" | sort -u) \
        "$VORN_UPGRADE_CODE" "$VORN_PRODUCT_CODE" "$VORN_PRODUCT_CODE_NEXT"; do
        guid="${guid//[\{\}]/}"
        [ "${guid^^}" = 00020424-0000-0000-C000-000000000046 ] && continue # the platform's marshaler
        list+="|$guid|$(packed "$guid")"
    done
    printf '%s' "$list"
}
MARKERS="$(markers)"

# nothing_of_ours <snapshot> <what>
nothing_of_ours() {
    local left
    left="$(grep -iE "$MARKERS" "$WORK/$1.reg" "$WORK/$1.files" | head -20)"
    [ -z "$left" ] || fail "$2: traces left:
$left"
}

# The registry's lines of one key tree, from a snapshot (key paths as the snapshot writes them).
reg_lines() { grep -iF "$2" "$WORK/$1.reg" | sed 's/^[^\t]*\t//' ; }

# expect_files <what> <features>: exactly the files of those features (comma-separated, as ADDLOCAL names
# them; ALL for every one), identical to their sources, from the package's own list (PackageFiles.txt).
expect_files() {
    local expected="$WORK/expected.files" actual="$WORK/actual.files" sources="$WORK/sources.files"
    awk -F'\t' -v features="$2" -v bin="$VORN_BIN" '
        BEGIN { n = split(features, list, ","); for (i = 1; i <= n; i++) wanted[list[i]] = 1 }
        features == "ALL" || $1 in wanted { sub(/^<bin>/, bin, $3); print $2 "\t" $3 }' \
        "$VORN_GENERATED/PackageFiles.txt" | LC_ALL=C sort >"$sources"
    [ -s "$sources" ] || { fail "$1: no files listed for $2 in $VORN_GENERATED/PackageFiles.txt"; return; }
    cut -f1 "$sources" >"$expected"
    [ -d "$INSTALL_DIR" ] || { fail "$1: $INSTALL_DIR is missing"; return; }
    (cd "$INSTALL_DIR" && find . -type f | sed 's|^\./||') | LC_ALL=C sort >"$actual"
    diff "$expected" "$actual" >"$WORK/files.diff" || fail "$1: installed files differ:$(cat "$WORK/files.diff")"
    local rel source
    while IFS=$'\t' read -r rel source; do
        [ -f "$INSTALL_DIR/$rel" ] && { cmp -s "$source" "$INSTALL_DIR/$rel" || fail "$1: $rel differs from $source"; }
    done <"$sources"
}

# expect_product <snapshot> <product code> <version>: the one product of our upgrade code, as the
# Installer and "Apps & features" see it.
expect_product() {
    local code="${2//[\{\}]/}" uninstall_key
    uninstall_key="hklm\\software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall\\\\{${code,,}}"
    reg_lines "$1" "$uninstall_key	" | grep -x >/dev/null "\"displayversion\"=\"$3\"" ||
        fail "$1: no uninstall entry for {$code} with version $3"
    reg_lines "$1" "$uninstall_key	" | grep -x >/dev/null '"displayname"="Vornlink"' || fail "$1: uninstall entry not named Vornlink"
    # Both places the Installer lists the products of an upgrade code hold exactly this one.
    local upgrade
    upgrade="$(packed "$VORN_UPGRADE_CODE")"
    for where in 'classes\\installer\\upgradecodes' 'microsoft\\windows\\currentversion\\installer\\upgradecodes'; do
        local listed
        listed="$(reg_lines "$1" "$where\\\\${upgrade,,}	" | sed 's/=.*//')"
        [ "$listed" = "\"$(packed "$code" | tr 'A-F' 'a-f')\"" ] ||
            fail "$1: the upgrade code's products under $where are [$listed], expected {$code} alone"
    done
}

# The registration rows in HKEY_CLASSES_ROOT (both views), apart from the Installer's own records.
# The type library's help folder is the one expected difference: the installer can only write a folder
# with a trailing separator (it names the same folder; the library has no help file to find there).
classes_of() {
    grep -E '^HKLM\\software\\\\classes\\\\' "$WORK/$1.reg" | grep -Ev '^HKLM\\software\\\\classes\\\\installer(\\|$)' |
        sed -E 's/^(.*\\\\helpdir\t@=".*)\\\\"$/\1"/'
}

# run_fullcal <name>: the installed fullcal.exe in the simulated module's folder, as a user would run
# it there; its traffic record goes where the simulator puts it by default, beside its Vorn.dll.
run_fullcal() {
    (cd "$SIM_DIR" && wine_run 'C:\Program Files (x86)\Vornlink\fullcal.exe' >"$WORK/$1.out" 2>"$WORK/$1.err")
    RC=$?
    [ "$RC" = 0 ] || fail "$1: fullcal exit code $RC: $(cat "$WORK/$1.err")"
    grep -q "Saving CAL data in register #1" "$WORK/$1.out" || fail "$1: fullcal's echo is incomplete: $(cat "$WORK/$1.out")"
    printf '%s\n' "> VORN:CONFIG 1,0,16,1" "> SENS:CORR:COLL:METH FULL" "> SENS:CORR:COLL:ACQ A" \
        "> SENS:CORR:COLL:SAVE 1" "> VORN:CLEAN" >"$WORK/$1.sent.expected"
    grep '^> ' "$SIM_DIR/VornSim.log" >"$WORK/$1.sent" 2>/dev/null
    diff "$WORK/$1.sent.expected" "$WORK/$1.sent" >/dev/null ||
        fail "$1: the module received:$(diff "$WORK/$1.sent.expected" "$WORK/$1.sent")"
}

# run_script <name> <folder> <script> <expected PASS text> [64]: cscript in that folder, 32-bit (the server
# in process) or 64-bit (the server in the system's surrogate).
run_script() {
    local host=(wine_run cscript)
    [ "${5:-}" = 64 ] && host=(timeout 120 /usr/lib/wine/wine64 'C:\windows\system32\cscript.exe')
    (cd "$2" && "${host[@]}" //nologo "$(winpath "$VORN_TEST_DIR/$3")" </dev/null >"$WORK/$1.out" 2>&1)
    RC=$?
    tr -d '\r' <"$WORK/$1.out" | grep -xF >/dev/null "PASS: $4" || fail "$1: $3 ($RC): $(cat "$WORK/$1.out")"
}

# expect_service <state> <when>: what sc query says, within 30 s.
expect_service() {
    local i
    for ((i = 0; i < 60; i++)); do
        wine_run sc query vornlan 2>&1 | grep -q "STATE *: *[0-9]* *$1" && return 0
        sleep 0.5
    done
    fail "$2: the service is not $1: $(wine_run sc query vornlan 2>&1)"
}

# expect_idn <port> <what>: a PyVISA client's *IDN? over the raw socket.
expect_idn() {
    local answer
    answer="$(timeout 60 /usr/bin/python3 -c "import pyvisa; s = pyvisa.ResourceManager('@py').open_resource(
'TCPIP::127.0.0.1::$1::SOCKET', read_termination='\n', write_termination='\n', timeout=10000); print(s.query('*IDN?'))" 2>&1)"
    [ "$answer" = "$IDN" ] || fail "$2 answered *IDN? with: $answer"
}

IDN="VORN,EC-2P Simulated Module,SIM00001,01.002"
# ADDLOCAL=ALL starts the service too: on ports of these tests' own, not the standard ones other
# programs on this machine may hold (a service that can bind none of its ports fails the install).
SERVICE_PORTS=(VORNLAN_RAW_PORT=15072 VORNLAN_VXI11_PORT=11072 VORNLAN_HISLIP_PORT=14872 VORNLAN_HTTP_PORT=18072)
CLSID_KEY="$(grep -oE 'CLSID\\\{[0-9A-Fa-f-]{36}\}' "$VORN_GENERATED/Registration32.wxi" | head -1)"
LOCAL_PACKAGE='"localpackage"=|^f \./windows/installer/[0-9a-f]+\.msi$'
SOURCE_LIST='installer\\\\products\\\\[0-9a-f]{32}\\\\sourcelist'

if [ "$CASE" = template ]; then
    use_prefix "$VORN_TEMPLATE"
    rm -rf "$PREFIX"
    mkdir -p "$(dirname "$PREFIX")"
    server_start
    # The script hosts register their own type libraries the first time they run: part of the machine.
    printf 'WScript.Quit 0\r\n' >"$VORN_WORK/empty.vbs"
    wine_run cscript //nologo "$(winpath "$VORN_WORK/empty.vbs")" >/dev/null 2>&1 || die "cscript does not run"
    timeout 120 /usr/lib/wine/wine64 'C:\windows\system32\cscript.exe' //nologo "$(winpath "$VORN_WORK/empty.vbs")" \
        </dev/null >/dev/null 2>&1 || die "the 64-bit cscript does not run"
    server_stop
    [ -f "$PREFIX/system.reg" ] || die "no Wine prefix made in $PREFIX"
    echo "PASS: template"
    exit 0
fi

[ -f "$VORN_TEMPLATE/system.reg" ] || die "the template prefix $VORN_TEMPLATE is missing (test installer.template)"
for msi in "$VORN_MSI" "$VORN_MSI_NEXT"; do [ -f "$msi" ] || die "$msi is missing"; done
rm -rf "$WORK"
mkdir -p "$WORK"
use_prefix "$WORK/prefix"
cp -a "$VORN_TEMPLATE" "$PREFIX" || die "cannot copy the template prefix"
trap 'server_stop; [ "$FAILED" = 0 ] && rm -rf "$PREFIX"' EXIT
server_start
MSI="$(winpath "$VORN_MSI")"
MSI_NEXT="$(winpath "$VORN_MSI_NEXT")"

case "$CASE" in
registration | registration_elsewhere)
    # The installer's rows against what the server's own DllRegisterServer writes for the same file,
    # in the default folder and in one the user chose.
    server='C:\Program Files (x86)\Vornlink\Vornlink.dll'
    folder=()
    if [ "$CASE" = registration_elsewhere ]; then
        server='C:\Test tools\Vorn [lab] $x\Vornlink.dll'
        folder=('INSTALLDIR=C:\Test tools\Vorn [lab] $x\')
    fi
    snapshot before
    install install "$MSI" "${folder[@]}"
    snapshot installed
    wine_run regsvr32 /u /s "$server" >"$WORK/regsvr32-u.out" 2>&1 ||
        fail "regsvr32 /u failed: $(cat "$WORK/regsvr32-u.out")"
    snapshot unregistered
    diff <(classes_of before) <(classes_of unregistered) >"$WORK/unregistered.diff" ||
        fail "rows the server's unregistration does not remove:$(cat "$WORK/unregistered.diff")"
    wine_run regsvr32 /s "$server" >"$WORK/regsvr32.out" 2>&1 ||
        fail "regsvr32 failed: $(cat "$WORK/regsvr32.out")"
    snapshot registered
    [ "$(classes_of registered | wc -l)" -gt "$(classes_of before | wc -l)" ] || fail "regsvr32 registered nothing"
    diff <(classes_of installed) <(classes_of registered) >"$WORK/drift.diff" ||
        fail "the installer's registration (<) drifts from DllRegisterServer's (>):$(cat "$WORK/drift.diff")"
    ;;
install_uninstall)
    # Default features: no simulated module. Uninstall leaves the machine as it was; a reinstall then
    # gives the same machine as the first install.
    snapshot before
    nothing_of_ours before "the template"
    install install "$MSI"
    snapshot installed
    expect_files "installed" Vornlink
    [ -e "$SIM_DIR" ] && fail "the simulated module was installed without being asked for"
    expect_product installed "$VORN_PRODUCT_CODE" "$VORN_VERSION"
    classes_of installed | grep -iF >/dev/null "inprocserver32"$'\t''@="C:\\Program Files (x86)\\Vornlink\\Vornlink.dll"' ||
        fail "the class is not registered with the installed DLL"
    uninstall uninstall "$MSI"
    snapshot uninstalled
    same_state before uninstalled "after uninstalling"
    nothing_of_ours uninstalled "after uninstalling"
    install reinstall "$MSI"
    snapshot reinstalled
    # The Installer caches each installed package under a name of its own choosing.
    same_state installed reinstalled "after reinstalling" "$LOCAL_PACKAGE"
    uninstall uninstall-again "$MSI"
    snapshot uninstalled-again
    same_state before uninstalled-again "after uninstalling again"
    ;;
simulated_module)
    # With the simulated module: fullcal and scripts against the installed server; the simulator's
    # traffic record, written into its folder, goes with the uninstall.
    snapshot before
    install install "$MSI" ADDLOCAL=ALL "${SERVICE_PORTS[@]}"
    expect_files "installed with every feature" ALL
    run_fullcal fullcal
    run_script script32 "$SIM_DIR" Identify.vbs "$IDN"
    run_script script64 "$WORK" Version.vbs "01.002" 64
    [ -f "$SIM_DIR/VornSim.log" ] || fail "the simulator wrote no traffic record beside its Vorn.dll"
    # The tracing module in front of the installed simulator: its record, beside it, goes with the uninstall.
    (cd "$TRACE_DIR" && VORN_TRACE_TARGET='C:\Program Files (x86)\Vornlink\Simulated module\Vorn.dll' \
        wine_run 'C:\Program Files (x86)\Vornlink\fullcal.exe' >"$WORK/traced.out" 2>&1) ||
        fail "fullcal through the tracing module: $(cat "$WORK/traced.out")"
    grep -q ' SendScpiCommand > VORN:CLEAN$' "$TRACE_DIR/VornTrace.log" 2>/dev/null ||
        fail "the tracing module recorded no VORN:CLEAN beside its Vorn.dll"
    touch "$TRACE_DIR/VornTrace.log.1"
    # The trace's private copy of its target (and the record the simulator then writes beside that copy)
    # lives in the user's temporary folder: the user's, not the package's.
    rm -rf "$PREFIX"/drive_c/users/*/Temp/VornTrace
    # Wine's surrogate never exits and keeps the DLL loaded (Windows ends it once its clients are gone);
    # end it, as closing the session would, before uninstalling.
    server_stop
    server_start
    uninstall uninstall "$MSI"
    snapshot uninstalled
    same_state before uninstalled "after uninstalling"
    nothing_of_ours uninstalled "after uninstalling"
    ;;
twice_and_repair)
    # Installing again changes nothing; a repair restores a deleted file and registry value.
    snapshot before
    install install "$MSI"
    snapshot installed
    install install-again "$MSI"
    snapshot installed-again
    # Wine's msiexec lists the same source folder once more at each run: the Installer's record, not ours.
    same_state installed installed-again "after installing twice" "$SOURCE_LIST"
    rm -f "$INSTALL_DIR/fullcal.exe"
    wine_run reg delete "HKCR\\$CLSID_KEY\\InprocServer32" /f /reg:32 \
        >"$WORK/reg-delete.out" 2>&1 || fail "cannot delete the class's InprocServer32: $(cat "$WORK/reg-delete.out")"
    snapshot damaged
    diff <(classes_of installed) <(classes_of damaged) >/dev/null && fail "the damage did not reach the registry"
    install repair "$MSI" REINSTALL=ALL REINSTALLMODE=amus
    snapshot repaired
    expect_files "repaired" Vornlink
    same_state installed repaired "after repairing" "$SOURCE_LIST"
    uninstall uninstall "$MSI"
    snapshot uninstalled
    same_state before uninstalled "after uninstalling"
    ;;
upgrade)
    # A higher version replaces the old one whole: one product left, files and registration as before,
    # the server working, and its uninstall leaves nothing of either version.
    snapshot before
    install install "$MSI" ADDLOCAL=ALL "${SERVICE_PORTS[@]}"
    snapshot installed
    expect_product installed "$VORN_PRODUCT_CODE" "$VORN_VERSION"
    # The features are named again: Wine 8 lacks MigrateFeatureStates, which carries them over on Windows.
    install upgrade "$MSI_NEXT" ADDLOCAL=ALL
    snapshot upgraded
    expect_product upgraded "$VORN_PRODUCT_CODE_NEXT" "$VORN_VERSION_NEXT"
    [ -n "$(reg_lines upgraded "{${VORN_PRODUCT_CODE,,}}")" ] && fail "the old product is still registered"
    expect_files "upgraded" ALL
    diff <(classes_of installed) <(classes_of upgraded) >"$WORK/upgrade.diff" ||
        fail "the registration changed with the upgrade:$(cat "$WORK/upgrade.diff")"
    run_script script32 "$SIM_DIR" Identify.vbs "$IDN"
    uninstall uninstall "$MSI_NEXT"
    snapshot uninstalled
    same_state before uninstalled "after uninstalling the upgrade"
    nothing_of_ours uninstalled "after uninstalling the upgrade"
    ;;
downgrade)
    # A lower version over a higher one is refused with a message, and changes nothing.
    wine_run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.MessageBoxW /f >"$WORK/reg.out" 2>&1 ||
        fail "cannot trace message boxes: $(cat "$WORK/reg.out")"
    snapshot before
    install install "$MSI_NEXT"
    snapshot installed
    # With the basic user interface, as a user would start it; the message box shows in Wine's relay
    # trace (without a display it returns at once).
    (WINEDEBUG=-all,+relay wine_run msiexec /i "$MSI" /qb /l*v "$(winpath "$WORK/downgrade.log")" \
        >"$WORK/downgrade.out" 2>"$WORK/downgrade.err")
    RC=$?
    expect_rc 67 "installing the lower version over the higher one (1603, cut to 8 bits)" downgrade
    grep -q 'Call user32.MessageBoxW(.*L"A newer version of Vornlink is already installed. Uninstall it first to install this version."' \
        "$WORK/downgrade.err" || fail "the refusal shows no message box saying why"
    snapshot refused
    same_state installed refused "after the refused downgrade"
    expect_product refused "$VORN_PRODUCT_CODE_NEXT" "$VORN_VERSION_NEXT"
    uninstall uninstall "$MSI_NEXT"
    snapshot uninstalled
    same_state before uninstalled "after uninstalling"
    ;;
service)
    # The network service: installed with its feature and options in one command, running and reachable,
    # stopped and started, its options kept by an upgrade that stops it first, and gone without a trace.
    # The vendor's library lies where a service finds it, in the system folder (the simulated one here).
    system="$PREFIX/drive_c/windows/syswow64"
    [ "${VORN_PROGRAM_FILES:-}" = "Program Files" ] && system="$PREFIX/drive_c/windows/system32"
    cp "$VORN_BIN/sim/Vorn.dll" "$system/Vorn.dll" || die "cannot place Vorn.dll in $system"
    snapshot before
    install install "$MSI" ADDLOCAL=Vornlink,NetworkAccess VORNLAN_RAW_PORT=15071 VORNLAN_VXI11_PORT=11071 \
        VORNLAN_HTTP_PORT=18071 VORNLAN_ALLOW=127.0.0.0/8,10.7.0.0/16
    expect_service RUNNING "after installing"
    expect_files "installed with network access" Vornlink,NetworkAccess
    # Wine's sc has no qc: the service's registry key holds the same.
    wine_run reg query 'HKLM\System\CurrentControlSet\Services\vornlan' >"$WORK/config.out" 2>&1
    for expected in 'Start    REG_DWORD    0x2' 'ObjectName    REG_SZ    NT AUTHORITY\LocalService' \
        'vornlan.exe --service --listen' '--raw-port "15071"' '--allow "127.0.0.0/8,10.7.0.0/16"' '--listen "127.0.0.1"' \
        '--log "C:\ProgramData\Vornlink\vornlan.log"'; do
        grep -qF -- "$expected" "$WORK/config.out" || fail "the service's configuration lacks $expected: $(cat "$WORK/config.out")"
    done
    grep -q 'SetServiceFailureActions.*Return value 1' "$WORK/install.log" || fail "the failure actions were not set"
    expect_idn 15071 "the installed service"
    wine_run sc stop vornlan >/dev/null 2>&1
    expect_service STOPPED "after sc stop"
    wine_run sc start vornlan >/dev/null 2>&1
    expect_service RUNNING "after sc start"
    log="$PREFIX/drive_c/ProgramData/Vornlink/vornlan.log"
    [ "$(grep -c 'starting as the service vornlan' "$log")" = 2 ] && [ "$(grep -c '^.\{20\}stopped$' "$log")" = 1 ] ||
        fail "the service's log does not show a start, a stop and a start: $(cat "$log")"
    # Wine's msiexec doesn't migrate feature states (MigrateFeatureStates does nothing), so the feature is
    # named again; the options aren't, they are kept. The old product's log goes with it; the new
    # service binds the raw port again, so the old one had ended first.
    install upgrade "$MSI_NEXT" ADDLOCAL=Vornlink,NetworkAccess
    expect_service RUNNING "after the upgrade"
    expect_idn 15071 "the upgraded service, with the options it kept"
    grep -q 'listening on 127.0.0.1: raw SCPI 15071/tcp' "$log" || fail "the upgraded service's log: $(cat "$log")"
    uninstall uninstall "$MSI_NEXT"
    wine_run sc query vornlan >"$WORK/query.out" 2>&1 && fail "the service is still there: $(cat "$WORK/query.out")"
    rm -f "$system/VornSim.log" # the stand-in vendor library's own record
    snapshot uninstalled
    same_state before uninstalled "after uninstalling"
    ;;
*)
    die "unknown case $CASE"
    ;;
esac

[ "$FAILED" = 0 ] && echo "PASS: $CASE"
exit "$FAILED"
