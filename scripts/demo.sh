#!/usr/bin/env bash
# Builds halunupd.exe and its stand-in fixtures, then shows one run under Wine
# in a throwaway prefix: the course and exit status, each file before and
# after, the notice, the relaunch and the marker.
#   scripts/demo.sh                  the typical run (Windows XP, 4.50 -> 4.60,
#                                    the resident running)
#   scripts/demo.sh old-version-98   Windows 98, wininit.ini and the restart
#   scripts/demo.sh locked-library   a library held open: delayed move, restart
# HALUNUPD_WIN_BUILD names another Windows build directory (default build/win).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${HALUNUPD_WIN_BUILD:-build/win}

scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$build" -j2 >/dev/null

exec python3 scripts/demo.py --exe "$build/halunupd.exe" "$@"
