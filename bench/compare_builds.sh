#!/usr/bin/env bash
# A/B of two picferry binaries on one tmpfs camera: the copy phase of a session
# (from the import command, written right after "detected", to "done"), the two
# binaries alternating (each goes first every other round), with sync and
# dropped caches before each. For a quick look at a change; bench/run.sh is the
# benchmark.
# Usage (root): bench/compare_builds.sh BINARY_A BINARY_B [FILES] [KIB] [ROUNDS] [DEST]
# DEST: disk (this machine's disk, under /var/tmp; the default), ext4 (a
# journaled ext4 image) or xfs (an XFS image), both loop-mounted, or tmpfs
# (memory: the host's side alone, without the disk's noise).
# IMPORT_KEYS_A, IMPORT_KEYS_B: more keys for each side's import command, so
# that one binary can be compared with itself, e.g. IMPORT_KEYS_B='"byteProgress":true'.
# Ends with the medians and the median of the per-round ratios B / A.
set -euo pipefail
if [[ -z ${PICFERRY_COMPARE_NAMESPACE:-} ]]; then
  exec unshare -m --propagation private env PICFERRY_COMPARE_NAMESPACE=1 "$0" "$@"
fi
a=$(realpath "$1") b=$(realpath "$2") files=${3:-300} kib=${4:-3072} rounds=${5:-3}
dest_kind=${6:-disk}

work=$(mktemp -d /var/tmp/picferry-compare.XXXXXX)
trap 'umount -l "$work/CAM" "$work/out" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/CAM" "$work/home" "$work/out"
mount -t tmpfs -o size=$(( files * kib / 1024 + 64 ))m compare "$work/CAM"
mkdir -p "$work/CAM/DCIM/100TEST"
for i in $(seq 1 "$files"); do
  head -c $(( kib * 1024 )) /dev/urandom >"$work/CAM/DCIM/100TEST/IMG_$i.JPG"
done
case "$dest_kind" in
  disk) ;;
  tmpfs) mount -t tmpfs -o size=$(( files * kib / 1024 + 64 ))m compare-out "$work/out" ;;
  ext4|xfs)
    truncate -s $(( files * kib / 1024 + 1024 ))M "$work/dest.img"
    if [[ $dest_kind == ext4 ]]; then
      mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$work/dest.img"
    else
      mkfs.xfs -q -f "$work/dest.img"
    fi
    mount -o loop "$work/dest.img" "$work/out" ;;
  *) echo "DEST must be disk, ext4, xfs or tmpfs"; exit 2 ;;
esac
export HOME="$work/home"

# Prints the seconds from the import command to "done", the number of
# "transfer" lines, then the "done" line. The session's pipes are FIFOs of our
# own: a coproc's descriptors vanish when it exits, maybe before its last line
# was read.
mkfifo "$work/input" "$work/output"
copy_phase() {
  local binary=$1 dest=$2 keys=$3 line start transfers=0 input output pid
  exec {input}<>"$work/input"
  "$binary" session <"$work/input" >"$work/output" &
  pid=$!
  exec {output}<"$work/output"
  read -r line <&"$output"  # "detected"
  start=$(date +%s.%N)
  printf '{"cmd":"import","dest":"%s"%s}\n' "$dest" "${keys:+,$keys}" >&"$input"
  while read -r line <&"$output"; do
    [[ $line == *'"type":"done"'* ]] && break
    [[ $line == *'"type":"transfer"'* ]] && (( ++transfers ))
  done
  echo "$(echo "$(date +%s.%N) - $start" | bc) $transfers $line"
  exec {input}>&- {output}<&-
  wait "$pid"
}

times_a=() times_b=()
for round in $(seq 1 "$rounds"); do
  sides=(a b)
  (( round % 2 )) || sides=(b a)  # each side goes first every other round
  for side in "${sides[@]}"; do
    if [[ $side == a ]]; then binary=$a keys=${IMPORT_KEYS_A:-}; else binary=$b keys=${IMPORT_KEYS_B:-}; fi
    rm -rf "$work/out/dest"
    sync
    echo 3 >/proc/sys/vm/drop_caches
    read -r seconds transfers last < <(copy_phase "$binary" "$work/out/dest" "$keys")
    [[ $last == *'"type":"done"'* ]] || { echo "round $round $side: no done line"; exit 1; }
    if [[ $side == a ]]; then times_a+=("$seconds"); else times_b+=("$seconds"); fi
    printf 'round %s  %s %-50s %6.3f s  %3d transfer  %s\n' "$round" "$side" \
      "$binary${keys:+ +$keys}" "$seconds" "$transfers" "$(cut -c1-60 <<<"$last")"
  done
done
python3 - "${times_a[*]}" "${times_b[*]}" <<'SUMMARY'
import statistics, sys
a, b = ([float(t) for t in arg.split()] for arg in sys.argv[1:])
print("median A %.3f s, B %.3f s; median of per-round B / A %.4f"
      % (statistics.median(a), statistics.median(b),
         statistics.median(y / x for x, y in zip(a, b))))
SUMMARY
