#!/usr/bin/env bash
# Builds picferry. Usage: scripts/build.sh [release|asan|tsan]  (default: release)
# Prints the build directory on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-release}
case "$kind" in
  release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug "-DPICFERRY_SANITIZE=address,undefined") ;;
  tsan) flags=(-DCMAKE_BUILD_TYPE=Debug -DPICFERRY_SANITIZE=thread) ;;
  *) echo "usage: scripts/build.sh [release|asan|tsan]"; exit 2 ;;
esac
dir="build/$kind"
mkdir -p "$dir"
log="$dir/build.log"
if ! { cmake -S . -B "$dir" -DPICFERRY_WERROR=ON "${flags[@]}" &&
       cmake --build "$dir" -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
echo "$dir"
