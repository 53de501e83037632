#!/usr/bin/env bash
# Writes debian/libsender1.symbols from the libraries of a package build (scripts/build-packages.sh),
# for when the libraries' interface changes on purpose: every exported symbol, demangled, with the
# version that first had it; template instances and other weak symbols, which the compiler emits
# as it sees fit, are optional. Review the difference before committing it.
#   scripts/update-symbols.sh [OUT]         OUT defaults to build-deb/
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/build-deb}"
package="$out/src/debian/libsender1"
[ -d "$package" ] || { echo "no package build in $out: run scripts/build-packages.sh first" >&2; exit 1; }
version="$(cd "$out/src" && dpkg-parsechangelog -S Version)"
symbols="$root/debian/libsender1.symbols"
old="$(mktemp)"
trap 'rm -f "$old"' EXIT
[ -f "$symbols" ] && cp "$symbols" "$old"

# The version a symbol already listed keeps; a new one gets this build's version.
first_version() {
  local line
  line="$(grep -F -- " $1 " "$old" 2>/dev/null | head -n1)"
  [ -n "$line" ] && echo "${line##* }" || echo "$version"
}

{
  for library in "$package"/usr/lib/*/lib*.so.*.*; do
    soname="$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')"
    echo "$soname libsender1 #MINVER#"
    echo "* Build-Depends-Package: libsender-dev"
    nm -D --defined-only "$library" | while read -r _ type name; do
      case "$name" in _init | _fini | _edata | _end | __bss_start) continue ;; esac
      tags=""
      case "$type" in V | W | u | v | w) tags="optional" ;; esac
      if [[ "$name" == _Z* ]]; then
        entry="\"$(c++filt "$name")@Base\""
        tags="c++${tags:+|$tags}"
      else
        entry="$name@Base"
      fi
      [ -n "$tags" ] && entry="($tags)$entry"
      echo " $entry $(first_version "$entry")"
    done | LC_ALL=C sort -u
  done
} >"$symbols"
echo "wrote $symbols ($(grep -c '^ ' "$symbols") symbols)"
