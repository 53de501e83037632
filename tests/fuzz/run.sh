#!/usr/bin/env bash
# Runs each fuzz target of a VELMORA_FUZZ build from its checked-in seed corpus, for a bounded
# number of executions and seconds; exits non-zero on the first finding.
#   tests/fuzz/run.sh [BUILD_DIR [SECONDS [RUNS [TARGET...]]]]
# A target with a dictionary (tests/fuzz/dict/<target>.dict) gets it.
# New inputs go to BUILD_DIR/fuzz-corpus/<target>/ (kept between runs, never checked in);
# a crashing input is written to BUILD_DIR/fuzz-findings/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build-fuzz}" && pwd)"
seconds="${2:-60}"
runs="${3:-200000}"
shift $(( $# < 3 ? $# : 3 ))
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(fuzz_header fuzz_arrivals fuzz_frames fuzz_pairing)

export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# AddressSanitizer holds freed memory back (256 MiB by default) to catch late uses of it; that
# alone made fuzz_arrivals grow by hundreds of MiB. 32 MiB still spans many inputs.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=32"
mkdir -p "$build/fuzz-findings"
# The targets run side by side, one per core; their reports follow in order.
pids=()
for target in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: up to $runs runs or $seconds s"
  dict=()
  [ -f "$root/tests/fuzz/dict/$target.dict" ] && dict=(-dict="$root/tests/fuzz/dict/$target.dict")
  "$build/bin/$target" "${dict[@]}" -runs="$runs" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$target-" \
    "$corpus" "$root/tests/fuzz/corpus/$target" >"$build/fuzz-findings/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  target="${targets[$i]}"
  if ! wait "${pids[$i]}"; then
    tail -n 60 "$build/fuzz-findings/$target.log"
    echo "FAIL: $target found a fault; the input is in $build/fuzz-findings/"
    status=1
    continue
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|Done )' "$build/fuzz-findings/$target.log" || true
  echo "PASS: $target"
done
exit "$status"
