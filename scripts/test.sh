#!/usr/bin/env bash
# Builds everything (installing the tools if missing) and runs the whole test suite under Wine.
source "$(dirname "$0")/common.sh"
ensure_tools
build
wine_session_start
cd "$ROOT"
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error --timeout 300 "$@"
