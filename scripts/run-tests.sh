#!/usr/bin/env bash
# Builds (when needed) and runs every test: engine tests and headless page tests.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake --preset default
cmake --build --preset default
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure "$@"
