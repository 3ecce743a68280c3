#!/usr/bin/env bash
# Installs what is missing, builds halunupd.exe and the host tests, and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build/win -j2

cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug -DHALUNUPD_EXE="$root/build/win/halunupd.exe" >/dev/null
cmake --build build/host -j2

ctest --test-dir build/host --output-on-failure -j2

# The host suite on the simulated machine again under AddressSanitizer and
# UBSan (the checks of halunupd.exe and under Wine do not run host code).
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DHALUNUPD_SANITIZE=ON -DHALUNUPD_EXE= >/dev/null
cmake --build build/asan -j2
ctest --test-dir build/asan --output-on-failure -j2

# Each fuzz target for a bounded time (about 30 s each).
scripts/fuzz.sh
