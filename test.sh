#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test headless.
set -euo pipefail
cd "$(dirname "$0")"
# Xvfb and xdotool drive real windows; help2man and man-db make and check the manual pages;
# Designer's development files build the Designer plugin; dpkg-dev, file, lintian and
# desktop-file-utils build and check the Debian package.
scripts/setup.sh xvfb xauth xdotool help2man man-db qt6-tools-dev dpkg-dev file lintian desktop-file-utils
export QT_QPA_PLATFORM=offscreen
cd build
status=0
ctest --output-on-failure --timeout 300 -j2 || status=$?
exit "$status"
