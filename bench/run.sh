#!/usr/bin/env bash
# Measures picferry's import throughput and memory against cp -r, rsync -r --fsync
# and gphoto2 on cameras made of a tmpfs (no hardware), and against libimobiledevice
# alone (bench/afc_read) over the tests' fake phone, each on the machine's disk and on a
# journaled ext4 image; writes bench/RESULTS.md.
# Usage (root): bench/run.sh [--quick] [--runs N]
#   --quick: small sets and 2 rounds, to try the script (writes bench/RESULTS-quick.md)
#   --runs N: rounds per set (3 by default; the full run takes about 20 minutes)
# Needs about 12 GiB free under /var/tmp for the full run (the image grows to 5 GiB).
set -euo pipefail
cd "$(dirname "$0")/.."

command="bench/run.sh${*:+ $*}"
quick=() runs=() out=bench/RESULTS.md
while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) quick=(--quick); out=bench/RESULTS-quick.md ;;
    --runs) runs=(--runs "$2"); shift ;;
    *) echo "usage: bench/run.sh [--quick] [--runs N]"; exit 2 ;;
  esac
  shift
done
[[ $(id -u) -eq 0 ]] || { echo "bench/run.sh: run as root (mounts, drop_caches)"; exit 1; }

scripts/setup.sh rsync time gphoto2

if dir=$(scripts/build.sh release 2>&1 | tail -n 1) && [[ -x "$dir/picferry" ]]; then
  build="Release, scripts/build.sh release ($dir)"
else
  # The release build treats warnings as errors; when that alone stops it, the
  # same Release configuration without -Werror is measured instead.
  echo "scripts/build.sh release failed (see build/release/build.log); building Release without -Werror"
  dir=build/bench-release
  # Tests stay configured: the USB bench needs the stand-in libusb target.
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPICFERRY_WERROR=OFF \
    >"$dir.log" 2>&1 && cmake --build "$dir" -j"$(nproc)" --target picferry >>"$dir.log" 2>&1 ||
    { cat "$dir.log"; exit 1; }
  why=$(grep -m1 -o -- '-Werror=[a-z-]*' build/release/build.log || echo "see the log")
  build="Release without -Werror ($dir; scripts/build.sh release failed: $why, build/release/build.log)"
fi

# The iPhone route's reference: libimobiledevice alone.
mkdir -p build && afc_read=build/bench-afc_read
cc -O2 -Wall -o "$afc_read" bench/afc_read.c $(pkg-config --cflags --libs libimobiledevice-1.0)

build+="; source $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
[[ -z $(git status --porcelain -- src CMakeLists.txt 2>/dev/null) ]] || build+=" with uncommitted changes in src/ or CMakeLists.txt"

work=$(mktemp -d /var/tmp/picferry-bench.XXXXXX)  # on disk: the destinations live here
# The camera's tmpfs and the ext4 image's loop mount live in the private mount
# namespace below and disappear with it; this removes the destinations and the image
# file whatever happens.
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM HUP
echo "work: $work; results: $out; free: $(df -h --output=avail "$work" | tail -n 1)"

status=0
unshare -m --propagation private \
  python3 bench/bench.py --binary "$dir/picferry" --afc-read "$afc_read" --work "$work" --out "$out" \
    --command "$command" --build "$build" "${quick[@]}" "${runs[@]}" || status=$?
# The USB route: picferry against gphoto2 on one emulated camera (a few minutes).
libdir="$dir/tests/device/usb/lib"
cmake --build "$dir" --target picferry_fake_libusb >/dev/null 2>&1 || true
usb_rounds=3
[[ ${#quick[@]} -eq 0 ]] || usb_rounds=2
if [[ -e "$libdir/libusb-1.0.so.0" ]]; then
  unshare -m --propagation private \
    python3 bench/usb_bench.py --binary "$dir/picferry" --libdir "$libdir" \
      --out "$work/usb.md" --rounds "$usb_rounds" || status=$?
  [[ -e "$work/usb.md" ]] && { echo; cat "$work/usb.md"; } >>"$out"
else
  printf '\nUSB route not measured: no stand-in libusb in %s.\n' "$libdir" >>"$out"
fi
# The import record: what recording costs, and deciding --new-only (a few minutes).
record_rounds=9  # recording's cost is a few percent: more rounds than the others
[[ ${#quick[@]} -eq 0 ]] || record_rounds=2
unshare -m --propagation private \
  python3 bench/record_bench.py --binary "$dir/picferry" --out "$work/record.md" \
    --rounds "$record_rounds" "${quick[@]}" \
    --command "bench/record_bench.py --rounds $record_rounds${quick[*]:+ --quick}" || status=$?
[[ -e "$work/record.md" ]] && { echo; cat "$work/record.md"; } >>"$out"
echo "results: $out"
exit "$status"
