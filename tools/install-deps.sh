#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing.
#   install-deps.sh native   compilers, CMake and GoogleTest for the Linux build
#   install-deps.sh all      also MinGW-w64, Wine (32- and 64-bit), clang's fuzzer runtime,
#                            Google Benchmark and Boost for the benchmarks' references
#   install-deps.sh package  compilers, CMake, the 32-bit MinGW-w64 compiler and the tools that
#                            CPack's Debian package needs
# Needs root (or sudo) only when something is missing.
set -euo pipefail

want=(cmake make g++ libgtest-dev googletest)
if [ "${1:-native}" = package ]; then
  want=(cmake make g++ g++-mingw-w64-i686-posix binutils-mingw-w64-i686 dpkg-dev file)
fi
if [ "${1:-native}" = all ]; then
  want+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386
         clang libclang-rt-14-dev libbenchmark-dev libboost-dev binutils-mingw-w64-i686
         libuv1-dev libglib2.0-dev pkg-config)
fi

missing=()
for pkg in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && \
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
