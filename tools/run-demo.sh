#!/usr/bin/env bash
# Installs what is missing, builds the Linux target and runs the demo host with its defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target mirel_demo
exec build/native/demo/mirel-demo "$@"
