#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build, sharing the given number of seconds equally, on a copy of
# its seed corpus, so that the corpus in the repository stays as it is. A target's own libFuzzer
# options, if any, are in fuzz/<target>.options.
set -euo pipefail
build=${1:-build/fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=("$build"/bin/*_fuzz)
[ ${#targets[@]} -gt 0 ] || exit 0
share=$(( (seconds + ${#targets[@]} - 1) / ${#targets[@]} ))
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work=$(mktemp -d)
  cp -r "$root/fuzz/corpus/${name%_fuzz}/." "$work/" 2>/dev/null || true
  options=()
  [ -f "$root/fuzz/$name.options" ] && read -r -a options < "$root/fuzz/$name.options"
  echo "fuzzing $name for ${share}s"
  # What the fuzzer finds goes to the build folder, out of the sources.
  "$target" "${options[@]}" -max_total_time="$share" -print_final_stats=1 \
    -artifact_prefix="$build/" "$work" 2>&1 | tail -n 4
  rm -rf "$work"
done
