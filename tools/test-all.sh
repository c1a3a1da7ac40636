#!/usr/bin/env bash
# Builds both targets and runs every test: the Linux build (plain, with ASan+UBSan, with TSan),
# the fuzz target for a short while, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh all

step() { printf '\n=== %s\n' "$*"; }

for preset in native native-asan native-tsan; do
  step "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

step "fuzz (20 s)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
tools/run-fuzz.sh build/fuzz 20

# Wine's background server inherits ctest's output pipe and would keep ctest waiting: start it
# (and the prefix) ahead, detached, and stop it on the way out.
prepare_wine() {
  local prefix=$1 loader=$2
  mkdir -p "$prefix"
  WINEPREFIX=$prefix WINELOADER=$loader WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$loader" wineboot -i </dev/null >/dev/null 2>&1 || true
}
stop_wine() {
  for prefix in build/mingw64/wineprefix build/mingw32/wineprefix; do
    [ -d "$prefix" ] && WINEPREFIX=$PWD/$prefix wineserver -k >/dev/null 2>&1 || true
  done
}
trap stop_wine EXIT

step "mingw64 (Windows, 64-bit Wine)"
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64
prepare_wine "$PWD/build/mingw64/wineprefix" /usr/lib/wine/wine64
ctest --preset mingw64

step "mingw32 (the shipped 32-bit DLL)"
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
if tools/can-run-win32.sh; then
  prepare_wine "$PWD/build/mingw32/wineprefix" /usr/lib/wine/wine
  ctest --preset mingw32
else
  echo "This machine cannot execute 32-bit x86 code: running the 32-bit build's static checks only;"
  echo "its behaviour is tested by the 64-bit Windows build above."
  ctest --preset mingw32-static
fi
