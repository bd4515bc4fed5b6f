#!/usr/bin/env bash
# Installs what is needed, builds, and runs picferry: against the phone or
# camera attached over USB when there is one, else against the demo camera.
# Usage (root): scripts/run.sh [DESTINATION]   (default: ./picferry-photos)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
dir=$(scripts/build.sh release | tail -n 1)
binary="$dir/picferry"
dest=$(realpath -m "${1:-picferry-photos}")

probe_home=$(mktemp -d)
if HOME="$probe_home" gphoto2 --auto-detect 2>/dev/null | grep -q ' usb:'; then
  echo "\$ picferry detect"
  "$binary" detect
  echo "\$ picferry import --dest $dest --skip-existing"
  "$binary" import --dest "$dest" --skip-existing
else
  echo "No phone or camera attached: running the demo camera."
  scripts/demo.sh "$binary" "$dest"
fi
rm -rf "$probe_home"
