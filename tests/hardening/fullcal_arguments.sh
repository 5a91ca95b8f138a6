#!/usr/bin/env bash
# fullcal with every shape of command line: empty, huge, many, non-ASCII, control characters, quotes,
# repeated and bare markers, extreme numbers. Each run must go through all its stages and end with exit
# code 0: the banner, the echo, the initiating and saving lines, and VORN:CLEAN as the last command the
# module receives. Usage: fullcal_arguments.sh <release|checked> (VORN_BIN and VORN_WINE_RUN name the
# build's bin/ and its wine-run). "checked" runs bin/checked/fullcal.exe, built so that undefined
# behaviour traps and the standard library checks its bounds.
set -uo pipefail
: "${VORN_BIN:?}" "${VORN_WINE_RUN:?}"
BUILD="${1:?release or checked}"
case "$BUILD" in
release) FULLCAL="$VORN_BIN/fullcal.exe" ;;
checked) FULLCAL="$VORN_BIN/checked/fullcal.exe" ;;
*) echo "FAIL: unknown build $BUILD"; exit 1 ;;
esac
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
unset DISPLAY WAYLAND_DISPLAY  # message boxes return at once
FAILED=0
RUNS=0

winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }
repeat() { printf "%0${2}d" 0 | tr 0 "$1"; }

[ -f "$FULLCAL" ] || { echo "FAIL: $FULLCAL is missing"; exit 1; }
timeout 120 "$VORN_WINE_RUN" regsvr32 /s "$VORN_BIN/Vornlink.dll" </dev/null >"$WORK/reg.out" 2>&1 ||
    { echo "FAIL: regsvr32: $(cat "$WORK/reg.out")"; exit 1; }

# shape <name> [arguments...]
shape() {
    local name="$1"
    shift
    RUNS=$((RUNS + 1))
    rm -f "$WORK/traffic.log"
    (cd "$VORN_BIN/sim" && VORN_SIM_LOG="$(winpath "$WORK/traffic.log")" \
        timeout 60 "$VORN_WINE_RUN" "$FULLCAL" "$@" </dev/null >"$WORK/stdout" 2>"$WORK/stderr")
    local rc=$?
    local problem=""
    tr -d '\r' <"$WORK/stdout" >"$WORK/out"
    if [ "$rc" != 0 ]; then
        problem="exit code $rc"
    elif [ "$(head -n 1 "$WORK/out")" != "Vorn Module Full 2-Port Cal in Progress" ]; then
        problem="no banner"
    elif ! grep -q '^Configuring Vorn module:$' "$WORK/out" || ! grep -q '^Initiating FULL 2-port CAL at port' "$WORK/out" ||
        ! grep -q '^Saving CAL data in register #' "$WORK/out"; then
        problem="a stage's echo is missing"
    elif [ "$(sed -n 's/^> //p' "$WORK/traffic.log" 2>/dev/null | tail -n 1)" != "VORN:CLEAN" ]; then
        problem="the module's last command is not VORN:CLEAN"
    elif ! grep -q '^> SENS:CORR:COLL:METH FULL$' "$WORK/traffic.log"; then
        problem="the method was not sent"
    fi
    if [ -n "$problem" ]; then
        echo "FAIL: $name: $problem"
        sed 's/^/    out: /' "$WORK/out" | head -n 20
        grep -v ':fixme:' "$WORK/stderr" | sed 's/^/    err: /' | head -n 20
        sed 's/^/    module: /' "$WORK/traffic.log" 2>/dev/null | head -n 10
        FAILED=1
    fi
}

many=()
for i in $(seq 1 1500); do many+=("/a:$i"); done
mixed=()
for i in $(seq 1 300); do mixed+=("/g:$((i % 3))" "/e:b" "/c:$((i % 10))" "x$i" "/p:$((i % 5))"); done

shape "no arguments"
shape "one empty argument" ""
shape "empty arguments" "" "" "" ""
shape "blanks only" "   " $'\t'
shape "a huge argument without marker" "$(repeat x 30000)"
shape "a huge register" "/c:$(repeat 7 30000)"
shape "a huge module port" "/e:$(repeat b 30000)"
shape "a huge address" "/a:$(repeat 9 30000)"
shape "huge numbers everywhere" "/g:$(repeat 9 5000)" "/p:-$(repeat 9 5000)" "/a:-$(repeat 1 5000)"
shape "many arguments" "${many[@]}"
shape "many mixed arguments" "${mixed[@]}"
shape "non-ASCII values" "/e:é" "/c:ß" "/g:٣" "/a:１６" "/p:²"
shape "characters outside the code page" "/e:日" "/c:😀" "/a:16日本" "Ω/p:2"
shape "control characters" $'/e:\x01' $'/c:\t' $'/a:\n16' $'\x1b[2J'
shape "quotes and backslashes" '"' '\"' 'a\\"b' '/c:"' '/e:\' '/a:"16"'
shape "repeated markers" "/a:/a:/a:" "/c:/c:/c:" "/e:/e:/e:" "/g:/g:1" "/p:/p:"
shape "two values in one argument" "/a:7/a:8" "/c:1/c:2" "/e:a/e:b"
shape "all markers, no values" "/g:/a:/c:/e:/p:"
shape "bare markers" "/g:" "/a:" "/c:" "/e:" "/p:"
shape "markers in upper case" "/G:1" "/A:716" "/C:2" "/E:B" "/P:3"
shape "extreme numbers" "/g:-32768" "/a:32767" "/p:-1" "/a:2147483648" "/g:-2147483649"
shape "combined address at the limits" "/g:1" "/a:32799"
shape "signs and spaces" "/a: +16" "/p:- 1" "/g:+-1" "/a:0x10"

[ "$FAILED" = 0 ] && echo "PASS: $RUNS command line shapes ran to completion ($BUILD)"
exit "$FAILED"
