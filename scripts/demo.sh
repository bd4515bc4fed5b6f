#!/usr/bin/env bash
# Shows picferry working through the real libgphoto2 with no phone attached: a
# demo camera (a tmpfs holding DCIM with a few generated photos, mounted in a
# private mount namespace, so nothing outside sees it) is detected and imported.
# Usage (root): scripts/demo.sh [BINARY] [DESTINATION]
set -euo pipefail
cd "$(dirname "$0")/.."

binary=$(realpath "${1:-build/release/picferry}")
dest=$(realpath -m "${2:-demo-photos}")
if [[ -z ${PICFERRY_DEMO_NAMESPACE:-} ]]; then
  exec unshare -m --propagation private env PICFERRY_DEMO_NAMESPACE=1 "$0" "$binary" "$dest"
fi

work=$(mktemp -d /tmp/picferry-demo.XXXXXX)
camera="$work/DEMO-CAMERA"
trap 'umount -l "$camera" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$camera"
mount -t tmpfs -o size=16m picferry-demo "$camera"
python3 scripts/make_demo_photos.py "$camera/DCIM" 6
export HOME="$work/home"  # libgphoto2 may keep settings there
mkdir -p "$HOME"

echo "\$ picferry detect"
"$binary" detect
echo "\$ picferry import --dest $dest --skip-existing"
"$binary" import --dest "$dest" --skip-existing
echo "\$ ls -l $dest"
ls -l "$dest"
