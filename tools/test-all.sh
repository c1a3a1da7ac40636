#!/usr/bin/env bash
# Builds both targets and runs every test: the Linux build (plain, with ASan+UBSan, with TSan),
# the fuzz targets for a short while, and the Windows build under Wine.
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

step "fuzz (20 s in all)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
tools/run-fuzz.sh build/fuzz 20

# The Windows tests' own fixture prepares each build's Wine prefix and keeps one server for the
# whole run (cmake/wine-run.sh); this stops them too if the script ends half-way.
stop_wine() {
  for build in mingw64 mingw32; do
    if [ -d "build/$build/wineprefix" ]; then
      WINEPREFIX=$PWD/build/$build/wineprefix cmake/wine-run.sh --stop >/dev/null 2>&1 || true
    fi
  done
}
trap stop_wine EXIT

step "mingw64 (Windows, 64-bit Wine)"
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64
ctest --preset mingw64

step "mingw32 (the shipped 32-bit DLL)"
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
probe_status=0
probe=$(tools/can-run-win32.sh) || probe_status=$?
echo "32-bit probe: $probe"
case $probe_status in
  0)
    # Earlier versions of this script made this prefix 64-bit, which 32-bit Wine refuses.
    if [ "$(WINEPREFIX=$PWD/build/mingw32/wineprefix cmake/wine-run.sh --arch)" = win64 ]; then
      stop_wine
      rm -rf build/mingw32/wineprefix
    fi
    ctest --preset mingw32
    ;;
  1)
    echo "This machine cannot execute 32-bit x86 code: running the 32-bit build's static checks only;"
    echo "its behaviour is tested by the 64-bit Windows build above."
    ctest --preset mingw32-static
    ;;
  2)
    echo "This machine runs 32-bit x86 code, so the shipped 32-bit DLL must be tested here, but"
    echo "32-bit Wine does not start: see the probe's line above (tools/install-deps.sh all installs it)."
    exit 1
    ;;
  *)
    echo "The probe could not tell whether this machine runs 32-bit x86 code: see its line above."
    exit 1
    ;;
esac
