#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang 14 in build/fuzz and runs each
# for SECONDS (default 60), all at once, on a scratch copy of its seed corpus.
# Fails when a target finds a crash: its log and the reproducing input are in
# build/fuzz/runs/<target>/. Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
targets=(fuzz_stdin_commands fuzz_command_line fuzz_event_encoder fuzz_thumbnail_head)

scripts/setup.sh clang-14 libclang-rt-14-dev

dir=build/fuzz
mkdir -p "$dir"
echo "== build (fuzz)"
# -O1 without NDEBUG: fast enough to fuzz, assertions kept.
if ! { cmake -S . -B "$dir" -DPICFERRY_FUZZ=ON -DBUILD_TESTING=OFF -DPICFERRY_WERROR=ON \
         -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" &&
       cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"; } >"$dir/build.log" 2>&1; then
  cat "$dir/build.log"
  exit 1
fi

echo "== fuzz (${seconds}s per target)"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
pids=()
for target in "${targets[@]}"; do
  run="$dir/runs/$target"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  cp fuzz/corpus/"$target"/* "$run/corpus/"
  dict=()
  [[ -f fuzz/$target.dict ]] && dict=("-dict=fuzz/$target.dict")
  "$dir/fuzz/$target" "$run/corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$run/" >"$run/log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  log="$dir/runs/$target/log"
  if wait "${pids[$i]}"; then
    echo "$target: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs," \
         "$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1), no crash"
  else
    failed=1
    echo "$target: FAILED"
    tail -n 60 "$log"
    ls "$dir/runs/$target"/crash-* "$dir/runs/$target"/timeout-* "$dir/runs/$target"/oom-* \
       "$dir/runs/$target"/leak-* 2>/dev/null || true
  fi
done
exit "$failed"
