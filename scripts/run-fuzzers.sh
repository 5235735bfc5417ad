#!/usr/bin/env bash
# Runs the libFuzzer targets one after another, each for a fixed time with a per-input time-out,
# so slow inputs are reported as findings just like crashes.
#
#   scripts/run-fuzzers.sh [-t SECONDS] [TARGET ...]
#
# SECONDS is each target's run time (default 600). Without targets, every target in build-fuzz
# runs. Configure and build them first:
#   cmake --preset fuzz && cmake --build --preset fuzz
#
# Each target starts from its seed corpus (fuzz/<subsystem>/corpus/<name>) and from every input
# kept under fuzz/<subsystem>/regressions/<name>; new coverage goes to a scratch corpus in
# build-fuzz/corpus/<name>, so the seeds in the tree stay small. Crash, time-out, leak and
# out-of-memory inputs are copied into fuzz/<subsystem>/regressions/<name>, where the engine tests
# replay them. One process at a time: the run uses one core.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=600
if [ "${1:-}" = "-t" ]; then
  seconds=$2
  shift 2
fi
build=build-fuzz
[ -d "$build/fuzz" ] || { echo "no fuzz build in $build: cmake --preset fuzz && cmake --build --preset fuzz" >&2; exit 2; }

all_targets() {
  find "$build/fuzz" -type f -perm -u+x -name '*fuzz*' ! -name '*.so' | sort
}

binary_of() {
  all_targets | awk -v t="$1" -F/ '$NF == t' | head -n 1
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  while read -r path; do targets+=("$(basename "$path")"); done < <(all_targets)
fi

status=0
for target in "${targets[@]}"; do
  binary=$(binary_of "$target")
  if [ -z "$binary" ]; then
    echo "$target: not built" >&2
    status=1
    continue
  fi
  subsystem=$(basename "$(dirname "$binary")")
  name=${target%_fuzzer}
  seeds=fuzz/$subsystem/corpus/$name
  kept=fuzz/$subsystem/regressions/$name
  scratch=$build/corpus/$name
  artifacts=$build/artifacts/$name
  mkdir -p "$scratch" "$artifacts"
  inputs=("$scratch")
  [ -d "$seeds" ] && inputs+=("$seeds")
  [ -d "$kept" ] && inputs+=("$kept")

  log=$build/artifacts/$name.log
  started=$(date +%s)
  "$binary" -timeout=10 -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1
  rc=$?
  ran=$(( $(date +%s) - started ))

  found=0
  for artifact in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/leak-* "$artifacts"/oom-* "$artifacts"/slow-unit-*; do
    [ -e "$artifact" ] || continue
    mkdir -p "$kept"
    mv "$artifact" "$kept/"
    found=$((found + 1))
  done
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
  slowest=$(grep -o 'stat::slowest_unit_time_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
  echo "$target: ${ran}s, ${runs:-?} inputs, slowest ${slowest:-?}s, exit $rc, findings $found (log $log)"
  [ $rc -eq 0 ] && [ $found -eq 0 ] || status=1
done
exit $status
