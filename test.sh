#!/usr/bin/env bash
# Installs what is missing, builds and runs every test headless:
#   1. the suite in build/;
#   2. the suite again in build-asan/, built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. each fuzz target in build-fuzz/ for a bounded run from its seed corpus;
#   4. the Debian packages, built from debian/ into build-deb/ and checked by tests/packages.sh.
# ./test.sh --quick runs step 1 only. Steps 2 and 3 keep their build folders between runs; the
# builds of steps 2 to 4 run in the background while the tests of the steps before run.
# The last lines printed say which steps failed and, for each, which tests.
set -uo pipefail
cd "$(dirname "$0")"
quick=0
[ "${1:-}" = "--quick" ] && quick=1
# Xvfb and xdotool drive real windows; help2man and man-db make and check the manual pages;
# Designer's development files build the Designer plugin; dpkg-dev, file, lintian,
# desktop-file-utils and appstream build and check the Debian package and its desktop files;
# bindfs mounts a file system that can be stalled; dbus carries the tests' notifications and, with
# avahi-daemon, their peer discovery; debhelper builds the packages and autopkgtest runs their tests.
# Everything is installed here, up front, so that no background build needs apt.
packages=(xvfb xauth xdotool help2man man-db qt6-tools-dev dpkg-dev file lintian desktop-file-utils appstream bindfs
  dbus avahi-daemon iproute2 debhelper autopkgtest clang-14 libclang-rt-14-dev)
export QT_QPA_PLATFORM=offscreen
summary=()
details=()

# Records the outcome of one step: "NAME: passed", or "NAME: FAILED (WHAT)".
note() {
  if [ "$2" -eq 0 ]; then summary+=("$1: passed"); else summary+=("$1: FAILED ($3)"); fi
}
# The tests that failed in the last ctest run of a build folder.
failed_tests() {
  local log="$1/Testing/Temporary/LastTestsFailed.log"
  [ -s "$log" ] && sed 's/^[0-9]*://' "$log" | paste -sd ' ' || echo "see the output above"
}
# What the failed tests of the last ctest run in DIR said when they failed: each QtTest failure or
# fatal message with the lines that locate it, and ctest's own verdicts (a timeout, a crash).
failure_lines() {
  local log="$1/Testing/Temporary/LastTest.log"
  [ -f "$log" ] || return 0
  grep -a -A3 -E '^(FAIL!|QFATAL|QWARN.*(ASSERT|heap-use)|[*]{3}(Timeout|Exception)|==[0-9]+==ERROR)' "$log" | head -n 60
}
# Builds DIR with scripts/setup.sh (with CMAKE_ARGS and the extra packages) in the background, at
# the lowest priority, so that it overlaps the tests of the step before.
build_in_background() {
  local dir="$1" cmake_args="$2"
  shift 2
  build_log="$(mktemp)"
  VELMORA_BUILD_DIR="$dir" VELMORA_CMAKE_ARGS="$cmake_args" nice -n 19 scripts/setup.sh "$@" >"$build_log" 2>&1 &
  build_pid=$!
}
# Waits for the background build and prints its output; fails when the build did.
finish_build() {
  local status=0
  wait "$build_pid" || status=$?
  cat "$build_log"
  rm -f "$build_log"
  return "$status"
}
# Runs ctest in DIR and records the step NAME.
run_suite() {
  local name="$1" dir="$2" timeout="$3"
  rm -f "$dir/Testing/Temporary/LastTestsFailed.log"
  (cd "$dir" && ctest --output-on-failure --timeout "$timeout" -j2)
  local status=$?
  note "$name" "$status" "$(failed_tests "$dir")"
  [ "$status" -eq 0 ] || details+=("== $name: what the failed tests said" "$(failure_lines "$dir")")
}

echo "== 1. the suite (build/)"
step1_built=0
scripts/setup.sh "${packages[@]}" && step1_built=1
[ "$quick" -eq 0 ] && build_in_background build-asan "-DVELMORA_SANITIZE=ON" "${packages[@]}"
if [ "$step1_built" -eq 1 ]; then run_suite "1. the suite" build 300; else note "1. the suite" 1 "the build failed"; fi
if [ "$quick" -eq 0 ]; then
  echo "== 2. the suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
  step2_built=0
  finish_build && step2_built=1
  build_in_background build-fuzz "-DVELMORA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14" clang-14 libclang-rt-14-dev
  packages_log="$(mktemp)"
  nice -n 19 scripts/build-packages.sh build-deb >"$packages_log" 2>&1 &
  packages_pid=$!
  if [ "$step2_built" -eq 1 ]; then
    run_suite "2. the sanitized suite" build-asan 600
  else
    note "2. the sanitized suite" 1 "the build failed"
  fi
  echo "== 3. fuzz targets (build-fuzz/)"
  if finish_build; then
    tests/fuzz/run.sh build-fuzz "${VELMORA_FUZZ_SECONDS:-60}" "${VELMORA_FUZZ_RUNS:-200000}" | tee build-fuzz/fuzz.log
    fuzz_status="${PIPESTATUS[0]}"
    note "3. fuzz targets" "$fuzz_status" "$(sed -n 's/^FAIL: \([^ :]*\).*/\1/p' build-fuzz/fuzz.log | paste -sd ' ')"
  else
    note "3. fuzz targets" 1 "the build failed"
  fi
  echo "== 4. the Debian packages (build-deb/)"
  if wait "$packages_pid"; then
    tail -n 20 "$packages_log"
    tests/packages.sh build-deb
    note "4. the packages" $? "see tests/packages.sh's FAIL lines above"
  else
    tail -n 60 "$packages_log"
    note "4. the packages" 1 "the package build failed"
  fi
  rm -f "$packages_log"
fi

echo
[ "${#details[@]}" -eq 0 ] || printf '%s\n' "${details[@]}"
echo "== summary"
status=0
for line in "${summary[@]}"; do
  echo "$line"
  [[ "$line" == *FAILED* ]] && status=1
done
exit "$status"
