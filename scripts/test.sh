#!/usr/bin/env bash
# Installs what is missing, builds halunupd.exe and the host tests, and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

# The shipped i686 build, and the x86_64 build of the same sources that the
# end-to-end tests run under 64-bit Wine where 32-bit programs cannot run.
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build/win -j2
cmake --no-warn-unused-cli -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build/win64 -j2

cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug -DHALUNUPD_EXE="$root/build/win/halunupd.exe" \
  -DHALUNUPD_EXE64="$root/build/win64/halunupd.exe" >/dev/null
cmake --build build/host -j2

# Which Wine the end-to-end tests use here (HALUNUPD_WINE_ARCH forces one).
echo "end-to-end under Wine: $(python3 tests/e2e/run_e2e.py --decide || true)"

ctest --test-dir build/host --output-on-failure -j2 | tee build/host-ctest.log

# The host suite on the simulated machine again under AddressSanitizer and
# UBSan (the checks of halunupd.exe and under Wine do not run host code).
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DHALUNUPD_SANITIZE=ON -DHALUNUPD_EXE= \
  -DHALUNUPD_EXE64= >/dev/null
cmake --build build/asan -j2
ctest --test-dir build/asan --output-on-failure -j2 | tee build/asan-ctest.log

# Each fuzz target for a bounded time (about 30 s each).
scripts/fuzz.sh

# One closing line over both CTest runs. CTest counts a skipped test (one
# that cannot run on this host and says why) among the passed; it is counted
# apart here.
passed=0
failures=0
skipped=0
for log in build/host-ctest.log build/asan-ctest.log; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  failed=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
  skips=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log" || true)
  passed=$((passed + total - failed - skips))
  failures=$((failures + failed))
  skipped=$((skipped + skips))
done
echo "tests: $passed passed, $failures failed, $skipped skipped"
