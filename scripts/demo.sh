#!/usr/bin/env bash
# Builds halunupd.exe and its stand-in fixtures, then shows one run under Wine
# in a throwaway prefix: the course and exit status, each file before and
# after, the notice, the relaunch and the marker.
#   scripts/demo.sh                  the typical run (Windows XP, 4.50 -> 4.60,
#                                    the resident running)
#   scripts/demo.sh old-version-98   Windows 98, wininit.ini and the restart
#   scripts/demo.sh locked-library   a library held open: delayed move, restart
# Where this host runs 32-bit Wine it runs the shipped i686 halunupd.exe in a
# 32-bit prefix; where it cannot, the x86_64 build of the same sources in a
# 64-bit prefix (HALUNUPD_WINE_ARCH=win32 or win64 forces either). The report
# names the binary it ran.
# HALUNUPD_WIN_BUILD and HALUNUPD_WIN64_BUILD name other build directories
# (default build/win and build/win64).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${HALUNUPD_WIN_BUILD:-build/win}
build64=${HALUNUPD_WIN64_BUILD:-build/win64}

scripts/install-deps.sh
cmake --no-warn-unused-cli -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$build" -j2 >/dev/null
cmake --no-warn-unused-cli -S . -B "$build64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$build64" -j2 >/dev/null

exec python3 scripts/demo.py --exe "$build/halunupd.exe" --exe64 "$build64/halunupd.exe" "$@"
