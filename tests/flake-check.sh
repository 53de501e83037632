#!/usr/bin/env bash
# Looks for tests that pass or fail by chance: runs the plain suite N times (default 5) with
# ctest -j2 while one core is kept busy, then the tests that start processes (ctest label
# "processes") ten more times. Prints each failure with its test name, then the count of runs,
# failures and the wall time. Not part of ./test.sh.
#   tests/flake-check.sh [N [BUILD_DIR]]     (BUILD_DIR defaults to build/, built by ./test.sh)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds="${1:-5}"
build="$(cd "${2:-$root/build}" 2>/dev/null && pwd)" || { echo "no build folder: run ./test.sh --quick first"; exit 2; }
cmake --build "$build" >/dev/null || { echo "the build failed"; exit 2; }
export QT_QPA_PLATFORM=offscreen
logs="$build/flake-check"
rm -rf "$logs"
mkdir -p "$logs"

# One core kept busy all along, as on a machine that is doing other work too.
( while :; do :; done ) &
busy=$!
trap 'kill "$busy" 2>/dev/null' EXIT

started=$(date +%s)
runs=0
failures=0
# Runs ctest once with ARGS; prints every test that failed, keeping the output of the run.
run() {
  local name="$1"
  shift
  runs=$((runs + 1))
  rm -f "$build/Testing/Temporary/LastTestsFailed.log"
  (cd "$build" && ctest -j2 --timeout 600 --output-on-failure "$@") >"$logs/$name.log" 2>&1
  if [ -s "$build/Testing/Temporary/LastTestsFailed.log" ]; then
    while IFS= read -r line; do
      echo "FAIL: ${line#*:} in $name (output: $logs/$name.log)"
      failures=$((failures + 1))
    done <"$build/Testing/Temporary/LastTestsFailed.log"
  fi
}

for i in $(seq 1 "$rounds"); do
  echo "== the suite, run $i of $rounds"
  run "suite-$i"
done
for i in $(seq 1 10); do
  echo "== the tests that start processes, run $i of 10"
  run "processes-$i" -L processes
done
echo "runs: $runs ($rounds of the suite, 10 of the tests that start processes); failures: $failures;" \
  "wall time: $(( $(date +%s) - started )) s"
[ "$failures" -eq 0 ]
