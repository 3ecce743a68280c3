#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when
# they are all present already. Both Wines come along where they can: 32-bit
# Wine (wine32:i386) runs the shipped i686 build where the kernel executes
# 32-bit programs, 64-bit Wine (wine64) runs the x86_64 build where it does
# not. NSIS (makensis) and wixl (with msitools) build the integration guide's
# installer examples.
#
# A package index that cannot be fetched (a mirror mid-sync, one unreachable
# source) is warned about and the packages are installed from the rest. The
# 32-bit Wine is the one package the tests can do without: when it cannot be
# installed, the end-to-end tests and the demo run the x86_64 build under
# 64-bit Wine, as on a host that cannot execute 32-bit programs, and this
# says so. Any other package missing afterwards is an error.
set -euo pipefail

required=(cmake g++ libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 clang
  libclang-rt-14-dev python3 nsis msitools wixl)
optional=(wine32:i386)

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing() { local p; for p in "$@"; do have "$p" || echo "$p"; done; }
warn() { echo "install-deps: warning: $*" >&2; }

mapfile -t need < <(missing "${required[@]}")
mapfile -t want < <(missing "${optional[@]}")
[ ${#need[@]} -eq 0 ] && [ ${#want[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
install() { $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }

if [ ${#want[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# apt-get keeps every index it could fetch when another fails.
if ! $SUDO apt-get update -qq; then
  warn "a package index could not be fetched (see above); installing from the others"
fi

if [ ${#need[@]} -gt 0 ]; then
  # One that cannot be had would stop the others: then one by one.
  install "${need[@]}" || for p in "${need[@]}"; do install "$p" || true; done
  mapfile -t still < <(missing "${required[@]}")
  if [ ${#still[@]} -gt 0 ]; then
    echo "install-deps: cannot install ${still[*]}, which the builds and tests need" >&2
    exit 1
  fi
fi
if [ ${#want[@]} -gt 0 ] && ! install "${want[@]}"; then
  warn "${want[*]} cannot be installed: the end-to-end tests and the demo run the x86_64" \
    "build under 64-bit Wine, and the 64-bit Windows family is reported skipped"
fi
exit 0
