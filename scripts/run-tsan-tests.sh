#!/usr/bin/env bash
# Builds and runs, under ThreadSanitizer, the engine tests whose jobs run on several threads (the
# parallel walk and the folder tools' Checks). Only these targets are built, to keep CI short.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(platform_tests invalid_files_tests extension_engine_tests rename_tests)
[ -f build-tsan/CMakeCache.txt ] || cmake --preset tsan
cmake --build --preset tsan --target "${targets[@]}"
pattern="^($(IFS='|'; echo "${targets[*]}"))\$"
ctest --preset tsan -R "$pattern" "$@"
