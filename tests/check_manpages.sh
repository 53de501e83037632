#!/usr/bin/env bash
# Renders each manual page with every warning on; fails on a warning, a failed rendering, or a
# page that lacks its sections or the options its program lists in --help.
# usage: check_manpages.sh PROGRAM_DIR PAGE...
set -uo pipefail
bin="$1"
shift
export LC_ALL=C.UTF-8 MANWIDTH=100
status=0
for page in "$@"; do
  name="$(basename "$page" .1)"
  if command -v man >/dev/null; then
    warnings="$(man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)" || { echo "$page: man failed"; status=1; }
    text="$(man -E UTF-8 -l "$page" 2>/dev/null)"
  elif command -v groff >/dev/null; then
    warnings="$(groff -ww -man -Tutf8 -z "$page" 2>&1)" || { echo "$page: groff failed"; status=1; }
    text="$(groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)"
  else
    echo "neither man nor groff is installed"
    exit 77
  fi
  if [ -n "$warnings" ]; then
    echo "$page: $warnings"
    status=1
  fi
  # The renderer may write a hyphen as U+2010 or U+2212.
  text="$(sed 's/\xe2\x80\x90/-/g; s/\xe2\x88\x92/-/g' <<<"$text")"
  options="$(QT_QPA_PLATFORM=offscreen "$bin/$name" --help 2>/dev/null | grep -oE -- '--[a-z][a-z-]*' | sort -u)"
  [ -n "$options" ] || { echo "$name --help lists no options"; status=1; }
  for want in NAME SYNOPSIS DESCRIPTION OPTIONS "Exit status" $options; do
    grep -qF -- "$want" <<<"$text" || { echo "$page lacks $want"; status=1; }
  done
done
[ "$status" -eq 0 ] && echo "manual pages fine: $*"
exit "$status"
