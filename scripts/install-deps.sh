#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when
# they are all present already.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake g++ libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 clang libclang-rt-14-dev python3; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
