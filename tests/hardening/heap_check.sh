#!/usr/bin/env bash
# One hardening test under Wine's heap checking, against the checked server build (bin/checked: undefined
# behaviour traps). Usage: heap_check.sh <GoogleTest name>   (VORN_BIN and VORN_WINE_RUN name the build's
# bin/ and its wine-run).
#
# How the heap is checked: `WINEDEBUG=+heap` switches validation on but also traces every allocation
# (gigabytes for a run like this). Instead the program runs under a name of its own, for which the prefix's
# Image File Execution Options set GlobalFlag 0xF0 (tail checking, free checking, parameter checking,
# validation of the whole heap at every heap call), and `WINEDEBUG=warn+heap` reports what the checks find
# as err:heap / warn:heap lines. A canary that overruns a block on purpose must be reported first, so a
# silent run means something. Strings are capped at 4096 characters and random runs at 300 calls per seed:
# with every heap call validating the whole heap, megabyte strings take minutes.
set -uo pipefail
: "${VORN_BIN:?}" "${VORN_WINE_RUN:?}"
TEST="${1:?GoogleTest name}"
EXE=hardening_heap_checked.exe
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
unset DISPLAY WAYLAND_DISPLAY

# Replaced by a rename, never rewritten in place: another of these tests may be running the copy.
cp "$VORN_BIN/hardening_tests.exe" "$VORN_BIN/$EXE.$$" && mv -f "$VORN_BIN/$EXE.$$" "$VORN_BIN/$EXE" || exit 1
[ -f "$VORN_BIN/checked/Vornlink.dll" ] || { echo "FAIL: $VORN_BIN/checked/Vornlink.dll is missing"; exit 1; }
IFEO='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Image File Execution Options'
if ! timeout 120 "$VORN_WINE_RUN" reg add "$IFEO\\$EXE" /v GlobalFlag /t REG_DWORD /d 0xF0 /f \
    </dev/null >"$WORK/reg.out" 2>&1; then
    echo "FAIL: cannot set GlobalFlag: $(cat "$WORK/reg.out")"
    exit 1
fi

# run <gtest arguments...>: output in $WORK/out, Wine's debug channel in $WORK/err, exit code in RC.
run() {
    (cd "$VORN_BIN" && WINEDEBUG=warn+heap VORN_HARDENING_SERVER='checked\Vornlink.dll' \
        VORN_HARDENING_LONGEST=4096 VORN_HARDENING_CALLS=300 \
        timeout 250 "$VORN_WINE_RUN" "$VORN_BIN/$EXE" "$@" </dev/null >"$WORK/out" 2>"$WORK/err")
    RC=$?
}

run --gtest_also_run_disabled_tests --gtest_filter=HeapCheck.DISABLED_CorruptionIsReported
if ! grep -q ':err:heap:' "$WORK/err"; then
    echo "FAIL: heap checking is off: a deliberate overrun went unreported"
    tail -n 20 "$WORK/err"
    exit 1
fi

run --gtest_filter="$TEST"
cat "$WORK/out"
FAILED=0
if [ "$RC" != 0 ]; then
    echo "FAIL: $TEST ended with exit code $RC"
    grep -v ':fixme:\|:err:winediag:\|:err:systray:' "$WORK/err" | tail -n 30
    FAILED=1
fi
if grep -q ':\(err\|warn\):heap:' "$WORK/err"; then
    echo "FAIL: the heap check reported:"
    grep ':\(err\|warn\):heap:' "$WORK/err" | sort | uniq -c | head -n 20
    FAILED=1
fi
grep -q '\[  PASSED  \] 1 test\|\[  SKIPPED \] 1 test' "$WORK/out" || { echo "FAIL: $TEST did not run"; FAILED=1; }
[ "$FAILED" = 0 ] && echo "PASS: $TEST under heap checking"
exit "$FAILED"
