#!/usr/bin/env bash
# Builds (installing the tools if missing) and runs the benchmarks under Wine. Prints figures only.
# Figures are only as good as the machine is quiet: close other work first.
source "$(dirname "$0")/common.sh"
ensure_tools
build
wine_session_start
wine "$BUILD/bin/server_bench.exe" </dev/null | tr -d '\r'
# vornlan is a client of the registered server, like every program but the in-process bench above.
wine regsvr32 /s "$BUILD/bin/Vornlink.dll" </dev/null
wine "$BUILD/bin/lan_bench.exe" </dev/null | tr -d '\r'
