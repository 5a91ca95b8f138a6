#!/usr/bin/env bash
# End-to-end runs of fullcal.exe under Wine against the simulated module library:
# exact standard output and error, the command lines the module received, every message box, the exit code.
# Usage: fullcal_e2e.sh <case>   (VORN_BIN and VORN_WINE_RUN name the build's bin/ and its wine-run)
set -uo pipefail
: "${VORN_BIN:?}" "${VORN_WINE_RUN:?}"

CASE="${1:?case name}"
SERVER="$VORN_BIN/Vornlink.dll"
SIM_DIR="$VORN_BIN/sim"
WORK="$(mktemp -d)"
FAILED=0
# Without a display a message box returns at once; with one it would wait for a click.
unset DISPLAY WAYLAND_DISPLAY

cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT

fail() { echo "FAIL: $*"; FAILED=1; }
die() { echo "FAIL: $*"; exit 1; }
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }

# Every Wine call: no terminal input, output to files (Wine's helpers must not hold ctest's pipe), bounded time.
wine_run() { timeout 120 "$VORN_WINE_RUN" "$@" </dev/null; }

register_server() {
    [ -f "$SERVER" ] || die "$SERVER is missing"
    wine_run regsvr32 /s "$SERVER" >"$WORK/regsvr32.out" 2>&1 || die "regsvr32 $SERVER failed: $(cat "$WORK/regsvr32.out")"
}

unregister_server() {
    wine_run regsvr32 /u /s "$SERVER" >"$WORK/regsvr32.out" 2>&1 || die "regsvr32 /u failed: $(cat "$WORK/regsvr32.out")"
}

# Relay tracing of user32.MessageBoxA alone shows each box's owner, text, caption and flags on Wine's stderr.
trace_message_boxes() {
    wine_run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.MessageBoxA /f >"$WORK/reg.out" 2>&1 ||
        die "cannot set RelayInclude: $(cat "$WORK/reg.out")"
}

# run_fullcal <working dir> [arguments...]: fills $WORK/{stdout,stderr,traffic.log} and RC.
run_fullcal() {
    local dir="$1"
    shift
    rm -f "$WORK/traffic.log"
    (cd "$dir" && VORN_SIM_LOG="$(winpath "$WORK/traffic.log")" WINEDEBUG=-all,+relay \
        timeout 120 "$VORN_WINE_RUN" "$VORN_BIN/fullcal.exe" "$@" </dev/null >"$WORK/stdout" 2>"$WORK/wine.err")
    RC=$?
    [ "$RC" = 124 ] && die "fullcal.exe did not finish within 120 s (a message box waiting for a click?)"
    grep -Ev '^[0-9a-f]{4}:(Call |Ret  |Starting |trace:)' "$WORK/wine.err" >"$WORK/stderr" || true
    sed -n 's/^[0-9a-f]*:Call user32\.MessageBoxA(\([0-9a-f]*\),[0-9a-f]* "\(.*\)",[0-9a-f]* "\(.*\)",\([0-9a-f]*\)) ret=[0-9a-f]*$/\1|\3|\4|\2/p' \
        "$WORK/wine.err" >"$WORK/boxes"
    touch "$WORK/traffic.log"
}

# The echo of a run; the program writes CRLF line ends (text mode).
expect_stdout() {
    local address="$1" board="$2" lpt="$3" port="$4" register="$5"
    printf 'Vorn Module Full 2-Port Cal in Progress\n\nConfiguring Vorn module:\n\tVNA address - %s\n\tGPIB type - %s\n\tprinter port - LPT%s\n\n\nInitiating FULL 2-port CAL at port '"'"'%s'"'"'\n\nSaving CAL data in register #%s\n\n' \
        "$address" "$board" "$lpt" "$port" "$register" | LC_ALL=C sed 's/$/\r/' >"$WORK/stdout.expected"
    cmp -s "$WORK/stdout" "$WORK/stdout.expected" ||
        fail "standard output differs:$(diff <(od -c "$WORK/stdout.expected") <(od -c "$WORK/stdout"))"
}

expect_stderr() {
    if [ $# = 0 ]; then : >"$WORK/stderr.expected"; else printf '%s\r\n' "$@" >"$WORK/stderr.expected"; fi
    cmp -s "$WORK/stderr" "$WORK/stderr.expected" ||
        fail "standard error differs:$(diff "$WORK/stderr.expected" "$WORK/stderr")"
}

# The command lines the module received, in order (replies and other events aside).
expect_sent() {
    if [ $# = 0 ]; then : >"$WORK/sent.expected"; else printf '%s\n' "$@" >"$WORK/sent.expected"; fi
    sed -n 's/^> //p' "$WORK/traffic.log" >"$WORK/sent"
    cmp -s "$WORK/sent" "$WORK/sent.expected" || fail "module received:$(diff "$WORK/sent.expected" "$WORK/sent")"
}

# Each message box: no owner, caption "ERROR", MB_OK, with these texts in this order.
expect_boxes() {
    : >"$WORK/boxes.expected"
    local text
    for text in "$@"; do printf '00000000|ERROR|00000000|%s\n' "$text" >>"$WORK/boxes.expected"; done
    cmp -s "$WORK/boxes" "$WORK/boxes.expected" || fail "message boxes:$(diff "$WORK/boxes.expected" "$WORK/boxes")"
}

expect_exit() { [ "$RC" = "$1" ] || fail "exit code $RC, expected $1"; }

CONFIG_ERROR="CONFIG returned an error"
METH_ERROR="SENS_CORR_COLL_METH returned an error"
ACQ_ERROR="SENS_CORR_COLL_ACQ returned an error"
SAVE_ERROR="SENS_CORR_COLL_SAVE returned an error"
CLEAN_ERROR="VORN_CLEAN returned an error"
NO_OBJECT="Cannot Create IDispatch object for VornDriver.clsVornlink"
METH="SENS:CORR:COLL:METH FULL"
CLEAN="VORN:CLEAN"

[ -f "$VORN_BIN/fullcal.exe" ] || die "$VORN_BIN/fullcal.exe is missing"
[ -f "$SIM_DIR/Vorn.dll" ] || die "$SIM_DIR/Vorn.dll is missing"
register_server
trace_message_boxes

case "$CASE" in
defaults)
    run_fullcal "$SIM_DIR"
    expect_stdout 16 "National Instruments" 1 A 1
    expect_sent "VORN:CONFIG 1,0,16,1" "$METH" "SENS:CORR:COLL:ACQ A" "SENS:CORR:COLL:SAVE 1" "$CLEAN"
    expect_boxes
    expect_stderr
    expect_exit 0
    ;;
cv_board_through_winepath)
    # The module library found on Wine's PATH instead of the working folder.
    export WINEPATH
    WINEPATH="$(winpath "$SIM_DIR")"
    run_fullcal "$WORK" /g:1/a:716 /p:3 /e:b /c:2
    expect_stdout 716 "Corvane Technologies" 3 B 2
    expect_sent "VORN:CONFIG 1,7,16,3" "$METH" "SENS:CORR:COLL:ACQ B" "SENS:CORR:COLL:SAVE 2" "$CLEAN"
    expect_boxes
    expect_stderr
    expect_exit 0
    ;;
config_rejected)
    run_fullcal "$SIM_DIR" /a:40
    expect_stdout 40 "National Instruments" 1 A 1
    expect_sent "$METH" "SENS:CORR:COLL:ACQ A" "SENS:CORR:COLL:SAVE 1" "$CLEAN"
    expect_boxes "$CONFIG_ERROR"
    expect_exit 0
    ;;
port_rejected)
    run_fullcal "$SIM_DIR" /e:c
    expect_stdout 16 "National Instruments" 1 C 1
    expect_sent "VORN:CONFIG 1,0,16,1" "$METH" "SENS:CORR:COLL:SAVE 1" "$CLEAN"
    expect_boxes "$ACQ_ERROR"
    expect_exit 0
    ;;
register_not_numeric)
    run_fullcal "$SIM_DIR" /c:x
    expect_stdout 16 "National Instruments" 1 A x
    expect_sent "VORN:CONFIG 1,0,16,1" "$METH" "SENS:CORR:COLL:ACQ A" "$CLEAN"
    expect_boxes "$SAVE_ERROR"
    expect_exit 0
    ;;
long_arguments)
    # Far beyond the one-character fields: refused, never written past them; numbers saturate, then truncate.
    long() { printf "%0${2}d" 0 | tr 0 "$1"; }
    run_fullcal "$SIM_DIR" "/c:$(long 1 6000)" "/e:$(long a 6000)" "/g:$(long 9 6000)" "/a:$(long 7 6000)"
    expect_stdout -1 "National Instrument" 1 "" ""
    expect_stderr "Module port refused: /e: takes one single-byte character (A or B)" \
        "Register refused: /c: takes one single-byte character"
    expect_sent "$METH" "$CLEAN"
    expect_boxes "$CONFIG_ERROR" "$ACQ_ERROR" "$SAVE_ERROR"
    expect_exit 0
    ;;
non_ascii)
    # Code page 1252: é is one byte, echoed as typed (toupper leaves it), and refused by the server.
    run_fullcal "$SIM_DIR" "/e:é" "/c:é" "日本/p:2"
    expect_stdout 16 "National Instruments" 2 $'\xe9' $'\xe9'
    expect_sent "VORN:CONFIG 1,0,16,2" "$METH" "$CLEAN"
    expect_boxes "$ACQ_ERROR" "$SAVE_ERROR"
    expect_stderr
    expect_exit 0
    ;;
non_ascii_double_byte)
    # Code page 932: 日 is two bytes, too long for the register.
    VORN_LC_ALL=ja_JP.UTF-8 run_fullcal "$SIM_DIR" "/c:日" /e:b
    expect_stdout 16 "National Instruments" 1 B ""
    expect_stderr "Register refused: /c: takes one single-byte character"
    expect_sent "VORN:CONFIG 1,0,16,1" "$METH" "SENS:CORR:COLL:ACQ B" "$CLEAN"
    expect_boxes "$SAVE_ERROR"
    expect_exit 0
    ;;
library_missing)
    # No Vorn.dll in the working folder, beside fullcal.exe or on Wine's PATH: every call raises an error.
    run_fullcal "$WORK"
    expect_stdout 16 "National Instruments" 1 A 1
    expect_sent
    expect_boxes "$CONFIG_ERROR" "$METH_ERROR" "$ACQ_ERROR" "$SAVE_ERROR" "$CLEAN_ERROR"
    expect_stderr
    expect_exit 0
    ;;
server_unregistered)
    trap 'register_server; cleanup' EXIT
    unregister_server
    run_fullcal "$SIM_DIR" /c:2
    expect_stdout 16 "National Instruments" 1 A 2
    expect_sent
    expect_boxes "$NO_OBJECT" "$CONFIG_ERROR" "$METH_ERROR" "$ACQ_ERROR" "$SAVE_ERROR" "$CLEAN_ERROR"
    expect_stderr
    expect_exit 0
    ;;
*)
    die "unknown case $CASE"
    ;;
esac

[ "$FAILED" = 0 ] && echo "PASS: $CASE"
exit "$FAILED"
