#!/usr/bin/env bash
# Builds both packages into dist/: the 32-bit Windows DLLs as a .zip and the Linux build as a .deb.
# Installs what is missing first (the MinGW-w64 32-bit compiler, dpkg's and file's tools).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh package
mkdir -p dist
for preset in package-win32 package-linux; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  (cd "build/$preset" && cpack -B "$PWD/../../dist" >/dev/null)
done
rm -rf dist/_CPack_Packages
ls -l dist
