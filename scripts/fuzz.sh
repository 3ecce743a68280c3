#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each one from
# a copy of its seed corpus for a bounded time (FUZZ_SECONDS, default 30).
# Fails on the first target that finds a crash, a leak or a broken guarantee;
# the input that did it is left in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHALUNUPD_FUZZ=ON >/dev/null
cmake --build build/fuzz -j2

mkdir -p build/fuzz/artifacts
for target in fuzz_directories fuzz_versions fuzz_state; do
  work=build/fuzz/corpus-run/$target
  rm -rf "$work" && mkdir -p "$work"
  cp fuzz/corpus/$target/* "$work"/
  log=build/fuzz/$target.log
  if ! build/fuzz/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=build/fuzz/artifacts/$target- "$work" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target failed; see $log and build/fuzz/artifacts/" >&2
    exit 1
  fi
  echo "fuzz: $target $(grep -o 'number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*') executions in ${seconds}s"
done
