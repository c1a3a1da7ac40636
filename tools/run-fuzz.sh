#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for the given number of seconds, on a copy of its seed
# corpus, so that the corpus in the repository stays as it is.
set -euo pipefail
build=${1:-build/fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
for target in "$build"/bin/*_fuzz; do
  name=$(basename "$target")
  work=$(mktemp -d)
  cp -r "$root/fuzz/corpus/${name%_fuzz}/." "$work/" 2>/dev/null || true
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$work" 2>&1 | tail -n 3
  rm -rf "$work"
done
