#!/usr/bin/env bash
# regsvr32 on Vornlink.dll under Wine, judged by exports of HKEY_CLASSES_ROOT taken with the 64-bit
# regedit, which shows the shared keys and the 32-bit view (Wow6432Node) in one file.
# Usage: regsvr32.sh <case>. VORN_BIN, VORN_WINE_RUN, VORN_WINE64, VORN_WINEPREFIX and
# VORN_CLIENT_SCRIPTS come from ctest. Every case leaves the server registered.
set -uo pipefail
: "${VORN_BIN:?}" "${VORN_WINE_RUN:?}" "${VORN_WINE64:?}" "${VORN_WINEPREFIX:?}" "${VORN_CLIENT_SCRIPTS:?}"

CASE="${1:?case name}"
SERVER="$VORN_BIN/Vornlink.dll"
WORK="$(mktemp -d)"
FAILED=0

CLSID='{9C8A32C4-E3C0-4574-8DFF-17BDF0670A70}'
LIBID='{71909E2F-4ABA-421E-B05B-9FBD28D23413}'
IID='{8CD86390-C062-45F2-AF98-5760F664D318}'
APPID='{FA549598-568C-4C19-824F-87303E707DF2}'
PROGID='VornDriver.clsVornlink'
# The server's own platform: the product is 32-bit; the 64-bit test build registers in the 64-bit view.
BITS="${VORN_SERVER_BITS:-32}"
if [ "$BITS" = 64 ]; then CLASSES='CLSID' PLATFORM=win64; else CLASSES='Wow6432Node\CLSID' PLATFORM=win32; fi

fail() { echo "FAIL: $*"; FAILED=1; }
die() { echo "FAIL: $*"; FAILED=1; exit 1; }
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }
# .reg files use doubled backslashes inside values.
regpath() { local p; p="$(winpath "$1")"; printf '%s' "${p//\\/\\\\}"; }

# Every Wine call: no terminal input, output to files, bounded time.
wine_run() { timeout 120 "$VORN_WINE_RUN" "$@" </dev/null; }
# The 64-bit loader, with wine-run's settings.
wine64_run() {
    WINEPREFIX="$VORN_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        timeout 120 "$VORN_WINE64" "$@" </dev/null
}

register() {
    wine_run regsvr32 /s "$SERVER" >"$WORK/regsvr32.out" 2>&1 || fail "regsvr32 failed: $(cat "$WORK/regsvr32.out")"
}
unregister() {
    wine_run regsvr32 /u /s "$SERVER" >"$WORK/regsvr32.out" 2>&1 || fail "regsvr32 /u failed: $(cat "$WORK/regsvr32.out")"
}

# export <name>: HKEY_CLASSES_ROOT as UTF-8 text with Unix line ends in $WORK/<name>.reg.
export_classes() {
    rm -f "$WORK/$1.utf16"
    wine64_run regedit /E "$(winpath "$WORK/$1.utf16")" HKEY_CLASSES_ROOT >/dev/null 2>&1
    [ -s "$WORK/$1.utf16" ] || die "regedit /E HKEY_CLASSES_ROOT wrote nothing"
    iconv -f UTF-16LE -t UTF-8 "$WORK/$1.utf16" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' >"$WORK/$1.reg"
}

# The keys (with their values) that <new> has and <old> lacks, one "[key] value..." line per value.
flatten() { awk '/^\[/ { key = $0; print key; next } NF { print key " " $0 }' "$WORK/$1.reg" | sort; }
added() { comm -13 <(flatten "$1") <(flatten "$2"); }

expect_same() {
    cmp -s "$WORK/$1.reg" "$WORK/$2.reg" || fail "$3:$(diff "$WORK/$1.reg" "$WORK/$2.reg" | head -40)"
}

expect_no_trace() {
    local id
    for id in "$CLSID" "$LIBID" "$IID" "$APPID" "$PROGID"; do
        grep -Fqi -- "$id" "$WORK/$1.reg" && fail "$2: $id is still in HKEY_CLASSES_ROOT: $(grep -Fi -- "$id" "$WORK/$1.reg" | head -5)"
    done
}

expect_line() {
    grep -Fqx -- "$2" "$WORK/$1.added" || fail "registration lacks: $2"
}

# What registration must write, among the lines registration added to <baseline>.
expect_registration() {
    added "$1" "$2" >"$WORK/$2.added"
    local dll_reg key
    dll_reg="$(regpath "$SERVER")"
    key="[HKEY_CLASSES_ROOT\\$CLASSES\\$CLSID"
    expect_line "$2" "$key] @=\"$PROGID\""
    expect_line "$2" "$key] \"AppID\"=\"$APPID\""
    expect_line "$2" "$key\\InprocServer32] @=\"$dll_reg\""
    expect_line "$2" "$key\\InprocServer32] \"ThreadingModel\"=\"Apartment\""
    expect_line "$2" "$key\\ProgID] @=\"$PROGID\""
    expect_line "$2" "$key\\TypeLib] @=\"$LIBID\""
    expect_line "$2" "[HKEY_CLASSES_ROOT\\$PROGID\\Clsid] @=\"$CLSID\""
    expect_line "$2" "[HKEY_CLASSES_ROOT\\AppID\\$APPID] \"DllSurrogate\"=\"\""
    expect_line "$2" "[HKEY_CLASSES_ROOT\\Interface\\$IID] @=\"_clsVornlink\""
    expect_line "$2" "[HKEY_CLASSES_ROOT\\Interface\\$IID\\TypeLib] @=\"$LIBID\""
    grep -Eiq "^\[HKEY_CLASSES_ROOT\\\\Typelib\\\\$LIBID\\\\1\.0\\\\0\\\\$PLATFORM\] @=\"$(printf '%s' "$dll_reg" | sed 's/[][\\.*^$]/\\&/g')\"$" \
        "$WORK/$2.added" || fail "registration lacks the type library's $PLATFORM path $dll_reg"
    # A 32-bit DLL has no place in the 64-bit class view: 64-bit clients use the surrogate.
    [ "$BITS" = 64 ] || ! grep -Fqi "[HKEY_CLASSES_ROOT\\CLSID\\$CLSID" "$WORK/$2.reg" ||
        fail "the class is in the 64-bit view HKCR\\CLSID"
    # Everything registration added belongs to this server.
    local foreign
    foreign="$(grep -Fiv -e "$CLSID" -e "$LIBID" -e "$IID" -e "$APPID" -e "$PROGID" "$WORK/$2.added")"
    [ -z "$foreign" ] || fail "registration wrote keys of others: $foreign"
}

# expect_creation created|"not created: 429": the outcome of CreateObject in a 32-bit script.
expect_creation() {
    wine_run cscript.exe //nologo "$(winpath "$VORN_CLIENT_SCRIPTS/CreateObject.vbs")" >"$WORK/create.out" 2>&1
    local outcome
    outcome="$(tr -d '\r' <"$WORK/create.out")"
    case "$outcome" in
    "$1"*) ;;
    *) fail "CreateObject(\"$PROGID\"): expected \"$1\", got \"$outcome\"" ;;
    esac
}

[ -f "$SERVER" ] || die "$SERVER is missing"
finish() {
    register
    rm -rf "$WORK"
    exit "$FAILED"
}
trap finish EXIT

case "$CASE" in
register_twice)
    unregister
    export_classes before
    register
    export_classes once
    expect_registration before once
    register
    export_classes twice
    expect_same once twice "registering again changed the registry"
    expect_creation created
    ;;
unregister_removes_all)
    unregister
    export_classes before
    expect_no_trace before "after regsvr32 /u"
    expect_creation "not created: 429"
    register
    export_classes registered
    expect_registration before registered
    expect_creation created
    unregister
    export_classes after
    expect_same before after "unregistering left the registry changed"
    expect_no_trace after "after registering and unregistering"
    expect_creation "not created: 429"
    ;;
unregister_twice)
    register
    unregister
    export_classes once
    unregister
    export_classes twice
    expect_same once twice "unregistering again changed the registry"
    expect_creation "not created: 429"
    ;;
*)
    die "unknown case $CASE"
    ;;
esac

[ "$FAILED" = 0 ] && echo "PASS: $CASE"
exit "$FAILED"
