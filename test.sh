#!/usr/bin/env bash
# Installs what is missing, builds and runs every test headless:
#   1. the suite in build/;
#   2. the suite again in build-asan/, built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. each fuzz target in build-fuzz/ for a bounded run from its seed corpus.
# ./test.sh --quick runs step 1 only. Steps 2 and 3 keep their build folders between runs.
set -euo pipefail
cd "$(dirname "$0")"
quick=0
[ "${1:-}" = "--quick" ] && quick=1
# Xvfb and xdotool drive real windows; help2man and man-db make and check the manual pages;
# Designer's development files build the Designer plugin; dpkg-dev, file, lintian and
# desktop-file-utils build and check the Debian package.
packages=(xvfb xauth xdotool help2man man-db qt6-tools-dev dpkg-dev file lintian desktop-file-utils dbus avahi-daemon)
scripts/setup.sh "${packages[@]}"
export QT_QPA_PLATFORM=offscreen
status=0
echo "== 1. the suite (build/)"
(cd build && ctest --output-on-failure --timeout 300 -j2) || status=$?
if [ "$quick" -eq 0 ]; then
  echo "== 2. the suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
  VELMORA_BUILD_DIR=build-asan VELMORA_CMAKE_ARGS="-DVELMORA_SANITIZE=ON" scripts/setup.sh "${packages[@]}"
  (cd build-asan && ctest --output-on-failure --timeout 600 -j2) || status=1
  echo "== 3. fuzz targets (build-fuzz/)"
  VELMORA_BUILD_DIR=build-fuzz VELMORA_CMAKE_ARGS="-DVELMORA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14" \
    scripts/setup.sh clang-14 libclang-rt-14-dev
  tests/fuzz/run.sh build-fuzz "${VELMORA_FUZZ_SECONDS:-60}" "${VELMORA_FUZZ_RUNS:-200000}" || status=1
fi
exit "$status"
