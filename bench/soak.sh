#!/usr/bin/env bash
# Soak: resident memory at the start and the end of long runs (not part of CI).
#  1. The device browser alone with no phone, for MINUTES: what a session with
#     standard input open keeps doing. (A whole `session` with no phone ends
#     after 40 s with "no_device", by design.)
#  2. `session` against a demo camera, for MINUTES after "detected", with its
#     import request dropped (a malformed command line) and standard input open.
# Usage (root): bench/soak.sh [MINUTES]   (default 30; both run at the same time)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}

scripts/setup.sh
dir=$(scripts/build.sh release | tail -n 1)
work=$(mktemp -d /tmp/picferry-soak.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work"

# shellcheck disable=SC2046
g++ -std=c++20 -O2 -Isrc bench/soak_browser.cpp "$dir/libpicferry_core.a" \
  $(pkg-config --libs libgphoto2 libgphoto2_port libimobiledevice-1.0 libusbmuxd-2.0 libplist-2.0) \
  -pthread -o "$work/soak_browser"
"$work/soak_browser" "$minutes" >"$work/browser.jsonl" &
browser=$!

unshare -m --propagation private python3 bench/soak_session.py "$dir/picferry" "$minutes" \
  >"$work/session.jsonl"
wait "$browser"

echo "browser alone, no phone (KiB):"
sed -n '1p;$p' "$work/browser.jsonl"
echo "session with a demo camera, import dropped (KiB):"
sed -n '1p;$p' "$work/session.jsonl"
