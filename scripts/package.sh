#!/usr/bin/env bash
# Builds the Debian package: the hardened build (scripts/build.sh deb), then
# CPack. Usage: scripts/package.sh [OUTPUT_DIR]  (default: build/deb/out)
# Prints the path of the .deb on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."

built=$(scripts/build.sh deb) || { echo "$built"; exit 1; }
dir=$(tail -n 1 <<<"$built")
out=$(realpath -m "${1:-$dir/out}")
mkdir -p "$out"
rm -f "$out"/picferry_*.deb
log="$dir/cpack.log"
if ! cpack --config "$dir/CPackConfig.cmake" -B "$out" >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
rm -rf "$out/_CPack_Packages"
ls "$out"/picferry_*.deb
