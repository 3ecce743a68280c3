#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when
# they are all present already. Both Wines come along: 32-bit Wine
# (wine32:i386) runs the shipped i686 build where the kernel executes 32-bit
# programs, 64-bit Wine (wine64) runs the x86_64 build where it does not.
# NSIS (makensis) and wixl (with msitools) build the integration guide's
# installer examples.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake g++ libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 \
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine32:i386 wine64 \
    clang libclang-rt-14-dev python3 nsis msitools wixl; do
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
