#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing.
#   install-deps.sh native   compilers, CMake and GoogleTest for the Linux build
#   install-deps.sh all      also MinGW-w64, 64-bit Wine, clang with lld (the fuzzer's runtime and
#                            the Microsoft-ABI test hosts), Google Benchmark and Boost for the
#                            benchmarks' references; 32-bit Wine only where the kernel runs
#                            32-bit code (tools/can-run-win32.sh decides, as for the tests)
#   install-deps.sh package  compilers, CMake, the 32-bit MinGW-w64 compiler and the tools that
#                            CPack's Debian package needs
# Needs root (or sudo) only when something is missing.
#
# A mirror in the middle of a sync serves an index that apt refuses, and apt-get update then fails
# as a whole although every other index was read. So the update is retried a few times and then
# left as it is: the install decides. Only a package that still cannot be installed stops the
# script, with one line naming it and apt's reason.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
readonly update_attempts=${MIREL_APT_UPDATE_ATTEMPTS:-3}
readonly update_pause=${MIREL_APT_UPDATE_PAUSE:-5}
# The 32-bit probe that the test command uses; a test of this script puts its own answer here.
readonly win32_probe=${MIREL_WIN32_PROBE:-$here/can-run-win32.sh}

want=(cmake make g++ libgtest-dev googletest)
if [ "${1:-native}" = package ]; then
  want=(cmake make g++ g++-mingw-w64-i686-posix binutils-mingw-w64-i686 dpkg-dev file)
fi
if [ "${1:-native}" = all ]; then
  want+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
         clang lld libclang-rt-14-dev libbenchmark-dev libboost-dev binutils-mingw-w64-i686
         binutils-mingw-w64-x86-64 libuv1-dev libglib2.0-dev pkg-config)
  # 32-bit Wine is wanted only where it could run. Exit 1 is a kernel that refuses 32-bit code
  # and 3 a machine where nothing can be told; the test command reports both in its own words.
  probe_status=0
  probe=$("$win32_probe") || probe_status=$?
  case $probe_status in
    0 | 2) want+=(wine32:i386) ;;
    *) echo "Not installing 32-bit Wine: $probe" ;;
  esac
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

attempt=1
until "${sudo_cmd[@]}" apt-get update -qq; do
  if [ "$attempt" -ge "$update_attempts" ]; then
    echo "apt-get update failed $attempt times; installing from the indexes that were read"
    break
  fi
  attempt=$((attempt + 1))
  sleep "$update_pause"
done

"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" && exit 0

# One by one, to name the package that cannot be had and apt's own reason for it.
for pkg in "${missing[@]}"; do
  if ! output=$("${sudo_cmd[@]}" apt-get install -s -y --no-install-recommends "$pkg" 2>&1); then
    # apt's error and the first dependency it could not meet; the rest would fill a screen.
    unmet=$(printf '%s\n' "$output" | grep -E '^ .* : (Pre)?Depends: ' | sed 's/^ *//')
    reason=$(printf '%s\n' "$output" | grep '^E: ' | head -n 1)
    if [ -n "$unmet" ]; then
      more=$(($(printf '%s\n' "$unmet" | wc -l) - 1))
      suffix=""
      [ "$more" -gt 0 ] && suffix=", and $more more"
      reason="$reason ($(printf '%s\n' "$unmet" | head -n 1)$suffix)"
    fi
    echo "install-deps.sh: cannot install $pkg: ${reason:-apt-get gave no reason}" >&2
    exit 1
  fi
done
echo "install-deps.sh: apt-get install failed, though each package alone could be installed" >&2
exit 1
