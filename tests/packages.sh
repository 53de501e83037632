#!/usr/bin/env bash
# Checks the Debian packages that scripts/build-packages.sh built into OUT:
#   1. each package holds what it is for;
#   2. lintian on the set reports no error, and each warning it leaves is listed in docs/install.md;
#   3. each package test of debian/tests runs on this machine (autopkgtest's null runner), one at a
#      time and from none of our packages installed, so that what a test brings in is its own
#      Depends and theirs; our packages are removed again at the end.
# usage: tests/packages.sh [OUT]      (OUT defaults to build-deb/)
# Step 3 needs root (it installs packages); without it, it is skipped with a line that says so.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/build-deb}"
ours=(libsender1 libsender-dev sender-designer-plugin velmora velmora-cli)
status=0
fail() {
  echo "FAIL: $*"
  status=1
}
debs=()
for p in "${ours[@]}"; do
  deb="$(ls "$out/${p}"_*.deb 2>/dev/null | head -n1)"
  [ -n "$deb" ] || { echo "FAIL: no package $p in $out (run scripts/build-packages.sh)"; exit 1; }
  debs+=("$deb")
done

echo "== what each package holds"
# Package, then patterns of paths it must hold.
holds=(
  "libsender1 usr/lib/*/libSender.so.1 usr/lib/*/libvelmora-platform.so.1 usr/lib/*/libvelmora-secure.so.1
   usr/share/component-registry/sender.ini"
  "libsender-dev usr/include/sender/filesender.h usr/lib/*/libSender.so usr/lib/*/cmake/Sender/SenderConfig.cmake
   usr/lib/*/pkgconfig/sender.pc usr/lib/*/pkgconfig/sender-secure.pc usr/bin/component-register"
  "sender-designer-plugin usr/lib/*/qt6/plugins/designer/libvelmora-designer.so"
  "velmora usr/bin/velmora usr/bin/velmora-send usr/share/applications/velmora.desktop usr/lib/systemd/user/velmora.service
   usr/share/metainfo/org.velmora.Velmora.metainfo.xml usr/share/man/man1/velmora.1.gz"
  "velmora-cli usr/bin/velmora-cli usr/share/man/man1/velmora-cli.1.gz"
)
for row in "${holds[@]}"; do
  read -r -a words <<<"$(echo $row)"
  package="${words[0]}"
  contents="$(dpkg-deb -c "$out/${package}"_*.deb | awk '{ print $6 }' | sed 's|^\./||')"
  for pattern in "${words[@]:1}"; do
    # shellcheck disable=SC2053
    grep -q "^${pattern//\*/[^/]*}$" <<<"$contents" || fail "$package does not hold $pattern"
  done
done
# No file is in two packages, and no library or header went to a program's package.
dupes="$(for d in "${debs[@]}"; do dpkg-deb -c "$d" | awk '$6 !~ /\/$/ { print $6 }'; done | sort | uniq -d)"
[ -z "$dupes" ] || fail "in more than one package: $dupes"
for p in velmora velmora-cli; do
  dpkg-deb -c "$out/${p}"_*.deb | awk '{ print $6 }' | grep -E '\.so|/include/' && fail "$p holds library or SDK files"
done
dpkg-deb -f "$out"/libsender-dev_*.deb Depends | grep -q 'libsender1 (= ' || fail "libsender-dev does not depend on its libsender1"
dpkg-deb -f "$out"/velmora-cli_*.deb Depends | grep -q 'libsender1 (>= ' || fail "velmora-cli does not depend on libsender1"
dpkg-deb -I "$out"/libsender1_*.deb symbols >/dev/null 2>&1 || fail "libsender1 has no symbols file"

echo "== lintian"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$out"/*.changes >"$out/lintian.txt" 2>&1
  grep -E '^[EW]:' "$out/lintian.txt"
  ! grep -q '^E:' "$out/lintian.txt" || fail "lintian reports errors"
  for tag in $(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' "$out/lintian.txt" | sort -u); do
    grep -q "\`$tag\`" "$root/docs/install.md" || fail "lintian warns $tag, which docs/install.md does not list"
  done
else
  fail "lintian is not installed"
fi

echo "== package tests"
remove_ours() {
  local installed=()
  for p in "${ours[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' && installed+=("$p")
  done
  [ "${#installed[@]}" -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${installed[@]}" >/dev/null
}
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the package tests install packages and need root"
elif ! command -v autopkgtest >/dev/null; then
  fail "autopkgtest is not installed"
else
  # Each test, then which of our packages it brought in.
  for row in "sdk-consumer libsender-dev libsender1" "cli libsender1 velmora-cli"; do
    read -r -a words <<<"$row"
    test="${words[0]}"
    remove_ours
    autopkgtest --test-name="$test" "${debs[@]}" "$out/src" -- null >"$out/autopkgtest-$test.log" 2>&1 ||
      { tail -n 40 "$out/autopkgtest-$test.log"; fail "the package test $test"; }
    grep -E "^$test +(PASS|FAIL|SKIP)" "$out/autopkgtest-$test.log"
    brought="$(for p in "${ours[@]}"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' && echo "$p"
    done | sort | paste -sd ' ')"
    wanted="$(printf '%s\n' "${words[@]:1}" | sort | paste -sd ' ')"
    [ "$brought" = "$wanted" ] || fail "the test $test brought in $brought, not $wanted alone"
  done
  remove_ours
fi
[ "$status" -eq 0 ] && echo "packages fine: ${ours[*]}"
exit "$status"
