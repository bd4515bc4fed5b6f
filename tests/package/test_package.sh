#!/usr/bin/env bash
# Builds the Debian package from the build directory, checks its dependencies,
# unpacks it into a temporary root and runs the unpacked binary.
# Usage: test_package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/picferry_*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
for library in libgphoto2-6 libgphoto2-port12 libimobiledevice6; do
  [[ "$depends" == *"$library"* ]] || { echo "FAIL: Depends lacks $library: $depends"; exit 1; }
done

dpkg-deb -x "$deb" "$work/root"
[[ -f "$work/root/usr/share/doc/picferry/events.schema.json" ]] || { echo "FAIL: no schema"; exit 1; }
status=0
output=$("$work/root/usr/bin/picferry" 2>"$work/stderr") || status=$?
expected='{"type":"error","code":"bad_command","message":"usage: picferry detect|import --dest <dir>|session"}'
if [[ $status -ne 2 || "$output" != "$expected" || -s "$work/stderr" ]]; then
  echo "FAIL: status $status, output '$output', stderr '$(cat "$work/stderr")'"
  exit 1
fi
