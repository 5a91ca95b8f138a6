#!/usr/bin/env bash
# Builds (installing the tools if missing) and runs the benchmarks under Wine. Prints figures only.
# Figures are only as good as the machine is quiet: close other work first.
source "$(dirname "$0")/common.sh"
ensure_tools
build
wine_session_start
wine "$BUILD/bin/server_bench.exe" </dev/null | tr -d '\r'
# vornlan is a client of the registered server, like every program but the in-process bench above.
# lan_bench alone takes about half an hour (10^5 connect/close cycles a run, on every port); pass a smaller
# count (lan_bench.exe 10000) for a quick look. It needs port 111 free for the portmapper's run.
wine regsvr32 /s "$BUILD/bin/Vornlink.dll" </dev/null
wine "$BUILD/bin/lan_bench.exe" </dev/null | tr -d '\r'
