#!/usr/bin/env bash
# A/B of two picferry binaries on one tmpfs camera: whole `import` runs,
# alternating, with sync and dropped caches before each. For a quick look at a
# change; bench/run.sh is the benchmark.
# Usage (root): bench/compare_builds.sh BINARY_A BINARY_B [FILES] [KIB] [ROUNDS]
set -euo pipefail
if [[ -z ${PICFERRY_COMPARE_NAMESPACE:-} ]]; then
  exec unshare -m --propagation private env PICFERRY_COMPARE_NAMESPACE=1 "$0" "$@"
fi
a=$(realpath "$1") b=$(realpath "$2") files=${3:-300} kib=${4:-3072} rounds=${5:-3}

work=$(mktemp -d /var/tmp/picferry-compare.XXXXXX)
trap 'umount -l "$work/CAM" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/CAM" "$work/home"
mount -t tmpfs -o size=$(( files * kib / 1024 + 64 ))m compare "$work/CAM"
mkdir -p "$work/CAM/DCIM/100TEST"
for i in $(seq 1 "$files"); do
  head -c $(( kib * 1024 )) /dev/urandom >"$work/CAM/DCIM/100TEST/IMG_$i.JPG"
done
export HOME="$work/home"

for round in $(seq 1 "$rounds"); do
  for binary in "$a" "$b"; do
    rm -rf "$work/dest"
    sync
    echo 3 >/proc/sys/vm/drop_caches
    start=$(date +%s.%N)
    "$binary" import --dest "$work/dest" | tail -n 1 >"$work/last"
    end=$(date +%s.%N)
    printf 'round %s  %-60s %6.2f s  %s\n' "$round" "$binary" "$(echo "$end - $start" | bc)" \
      "$(cut -c1-70 "$work/last")"
  done
done
