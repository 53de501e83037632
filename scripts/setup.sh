#!/usr/bin/env bash
# Shared set-up for ./test.sh and ./run.sh: installs missing Debian packages, then
# configures and builds into build/. Quiet when everything is already there.
# VELMORA_BUILD_DIR names another build folder (relative to the checkout) and
# VELMORA_CMAKE_ARGS adds CMake arguments, e.g. for the sanitizer and fuzzing builds.
set -euo pipefail

packages=(cmake ninja-build g++ ccache pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libavahi-client-dev libssl-dev libsodium-dev libxxhash-dev "$@")

"$(dirname "${BASH_SOURCE[0]}")/need-packages.sh" "${packages[@]}"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_type="${VELMORA_BUILD_TYPE:-RelWithDebInfo}"
# ccache keeps rebuilds in other build folders or checkouts cheap.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$root")}"
build_dir="$root/${VELMORA_BUILD_DIR:-build}"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
  "${launcher[@]}" ${VELMORA_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
