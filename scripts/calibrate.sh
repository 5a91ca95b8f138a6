#!/usr/bin/env bash
# The main job: builds if needed, registers the Vornlink server in the project's Wine prefix and runs a full
# two-port calibration with fullcal against the simulated Vorn module; then shows what the module received
# and the text of every message box fullcal showed (read from Wine's relay trace, so it shows without a display).
# Usage: bash scripts/calibrate.sh [--trace] [fullcal options, e.g. /a:716 /c:2]
#   --trace  puts the tracing Vorn.dll (bin/trace) between the server and the simulated module and
#            shows its trace file as well.
source "$(dirname "$0")/common.sh"

TRACE=0
if [ "${1:-}" = "--trace" ]; then
    TRACE=1
    shift
fi

BIN="$BUILD/bin"
SHOWN_BUILD="${BUILD#"$ROOT"/}"
ensure_tools
mkdir -p "$BUILD"
echo "Building (log: $SHOWN_BUILD/calibrate-build.log)..."
if ! build 2>"$BUILD/calibrate-build.log"; then
    tail -n 30 "$BUILD/calibrate-build.log" >&2
    echo "The build failed; the whole log is in $BUILD/calibrate-build.log" >&2
    exit 1
fi
needed=("$BIN/fullcal.exe" "$BIN/Vornlink.dll" "$BIN/sim/Vorn.dll")
[ "$TRACE" = 0 ] || needed+=("$BIN/trace/Vorn.dll")
for file in "${needed[@]}"; do
    [ -f "$file" ] || { echo "$file was not built" >&2; exit 1; }
done

wine_session_start
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"; wine_session_stop' EXIT

if ! wine regsvr32 /s "$BIN/Vornlink.dll" </dev/null >"$WORK/regsvr32.out" 2>&1; then
    cat "$WORK/regsvr32.out" >&2
    echo "Registering $BIN/Vornlink.dll failed" >&2
    exit 1
fi
# Trace user32.MessageBoxA alone: each call shows its text and caption on Wine's stderr.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.MessageBoxA /f \
    </dev/null >"$WORK/reg.out" 2>&1 || cat "$WORK/reg.out" >&2

# The server loads Vorn.dll by name: running in bin/sim makes it find the simulated one; running in
# bin/trace makes it find the tracing one, which forwards to the simulated one.
log_windows_path="Z:${WORK//\//\\}\\traffic.log"
folder=sim
if [ "$TRACE" = 1 ]; then
    folder=trace
    export VORN_TRACE_TARGET="Z:${BIN//\//\\}\\sim\\Vorn.dll" VORN_TRACE_LOG="Z:${WORK//\//\\}\\trace.log"
fi
echo
if [ "$TRACE" = 1 ]; then
    echo "== fullcal $* (in $SHOWN_BUILD/bin/trace, beside the tracing Vorn.dll; it forwards to bin/sim/Vorn.dll)"
else
    echo "== fullcal $* (in $SHOWN_BUILD/bin/sim, beside the simulated Vorn.dll)"
fi
rc=0
(cd "$BIN/$folder" && VORN_SIM_LOG="$log_windows_path" WINEDEBUG=-all,+relay \
    wine "$BIN/fullcal.exe" "$@" </dev/null >"$WORK/stdout" 2>"$WORK/stderr") || rc=$?
tr -d '\r' <"$WORK/stdout"
grep -Ev '^[0-9a-f]{4}:(Call |Ret  |Starting |trace:)' "$WORK/stderr" | tr -d '\r' >&2 || true

echo "== The module received:"
if [ -s "$WORK/traffic.log" ]; then
    sed 's/^/  /' "$WORK/traffic.log"
else
    echo "  nothing"
fi

if [ "$TRACE" = 1 ]; then
    echo "== The trace (VORN_TRACE_LOG):"
    if [ -s "$WORK/trace.log" ]; then sed 's/^/  /' "$WORK/trace.log"; else echo "  nothing"; fi
fi

echo "== Message boxes:"
sed -n 's/^[0-9a-f]*:Call user32\.MessageBoxA([0-9a-f]*,[0-9a-f]* "\(.*\)",[0-9a-f]* "\(.*\)",[0-9a-f]*) ret=[0-9a-f]*$/  [\2] \1/p' \
    "$WORK/stderr" >"$WORK/boxes"
if [ -s "$WORK/boxes" ]; then cat "$WORK/boxes"; else echo "  none"; fi

echo "== fullcal exit code: $rc"
exit "$rc"
