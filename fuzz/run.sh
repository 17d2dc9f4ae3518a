#!/usr/bin/env bash
# Runs each fuzz target of a built fuzz tree for a bounded time on a working copy of its seed
# corpus (so the tree's corpus stays as it is), prints each target's executions and executions a
# second from libFuzzer's final statistics, and fails when any target found a crash.
# Usage: fuzz/run.sh BUILD_DIR SECONDS TARGET...
set -uo pipefail

build=$1
seconds=$2
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
work="$build/fuzz-work"
mkdir -p "$work"

declare -A flags=(
  [ParamsFuzz]="-dict=$here/protocol.dict"
  [LinePathFuzz]="-dict=$here/protocol.dict"
  [DatagramFuzz]="-max_len=2048"
  [SettingsFuzz]=""
)

# Symbolised stack traces in crash reports (Debian names the tool by its version).
if [ -x /usr/bin/llvm-symbolizer-19 ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-19
fi

# Allocation and free stacks of 5 frames, not 30: recording them is a large share of each input's
# time, and they only shorten a report (a saved input reruns with full stacks). No heap of fake
# stack frames either: the stack-use-after-return check, which clang turns on by default since
# version 15, slows the line path by a fifth and was not part of these runs before.
asan_options=abort_on_error=1:detect_leaks=1:malloc_context_size=5:detect_stack_use_after_return=0

failed=0
total=0
for target in "$@"; do
  corpus="$work/corpus/$target"
  artifacts="$work/artifacts/$target"
  log="$work/$target.log"
  mkdir -p "$corpus" "$artifacts"
  cp -n "$here/corpus/$target/"* "$corpus/"
  rm -f "$artifacts"/*
  # shellcheck disable=SC2086
  ASAN_OPTIONS=$asan_options \
    UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" ${flags[$target]} "$corpus" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  crashes=$(find "$artifacts" -type f | wc -l)
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=$((failed + 1))
    crashes=$((crashes > 0 ? crashes : 1))
    printf '%-14s %10s executions (%s/s), %d crash(es); log %s\n' "$target" "${runs:-?}" \
      "${rate:-?}" "$crashes" "$log"
    grep -m 5 -E '^\*\*\*|ERROR:|SUMMARY:' "$log" | sed 's/^/    /'
    find "$artifacts" -type f | sed 's/^/    input: /'
  else
    printf '%-14s %10s executions (%s/s), 0 crashes\n' "$target" "$runs" "$rate"
  fi
  total=$((total + ${runs:-0}))
done
printf 'fuzz: %d targets, %d executions, %d with crashes\n' "$#" "$total" "$failed"
[ "$failed" -eq 0 ]
