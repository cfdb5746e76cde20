#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, only what is
# missing: the i686 MinGW-w64 cross compiler (posix variant), Wine with its 32-bit
# part and its 64-bit loader (a 64-bit prefix runs the hosts under WOW64), CMake,
# the GoogleTest sources and GNU time (for the benchmark). Run as root (or with
# sudo available).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  arch_added=1
fi

for p in g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 wine64 cmake make googletest time; do
  have_pkg "$p" || need+=("$p")
done
# The release and the triage tool: llvm-dlltool (llvm) makes the import
# library Ruxtrap.lib; clang and lld build the test hosts with PDBs;
# llvm-symbolizer (llvm) gives the triage tool offline names; Python 3 with
# pytest runs its tests and chromium renders its HTML page.
for p in python3 python3-pytest llvm clang lld chromium; do
  have_pkg "$p" || need+=("$p")
done

# A virtual display, on which the tests see the script host's message box.
for p in xvfb xauth; do
  have_pkg "$p" || need+=("$p")
done

if [ "${#need[@]}" -gt 0 ] || [ -n "${arch_added:-}" ]; then
  echo "setup: installing ${need[*]:-(package lists for i386)}"
  $SUDO apt-get update -q
  if [ "${#need[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
  fi
fi
