#!/usr/bin/env bash
# Builds the Debian packages of debian/ with dpkg-buildpackage, in a copy of the source tree so
# that neither the build nor its results land in the checkout: the copy is OUT/src, the .deb
# files and the .changes file are in OUT. Installs the build dependencies that are missing.
#   scripts/build-packages.sh [OUT]         OUT defaults to build-deb/ in the checkout
# DEB_BUILD_OPTIONS passes through; unset, it is "nocheck parallel=<cores>" (./test.sh runs the
# tests on its own builds).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(mkdir -p "${1:-$root/build-deb}" && cd "${1:-$root/build-deb}" && pwd)"
need="$root/scripts/need-packages.sh"
"$need" dpkg-dev debhelper

rm -rf "$out/src" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$out/src"
# Everything but version control and build folders.
tar -C "$root" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude=./Testing -cf - . |
  tar -C "$out/src" -xf -

# What debian/control asks for to build, without version constraints or alternatives.
unmet="$(cd "$out/src" && dpkg-checkbuilddeps 2>&1 | sed -n 's/.*Unmet build dependencies: //p' |
  sed -e 's/([^)]*)//g' -e 's/|[^ ]*//g')" || true
# shellcheck disable=SC2086
[ -z "$unmet" ] || "$need" $unmet

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS-nocheck parallel=$(nproc)}"
# ccache, when there, makes a second build of the same tree cheap (the copy is always in the same
# place, so its paths do not change between builds).
# debhelper gives the build a home of its own, so the cache is named here.
if [ -z "${VELMORA_COMPILER_LAUNCHER+set}" ] && command -v ccache >/dev/null; then
  export VELMORA_COMPILER_LAUNCHER=ccache
  CCACHE_DIR="${CCACHE_DIR:-$(ccache -k cache_dir)}"
  export CCACHE_DIR
fi
(cd "$out/src" && dpkg-buildpackage -us -uc -b)
ls "$out"/*.deb
