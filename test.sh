#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test headless.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh xvfb xauth xdotool help2man man-db
export QT_QPA_PLATFORM=offscreen
cd build
status=0
ctest --output-on-failure --timeout 300 -j2 || status=$?
exit "$status"
