#!/usr/bin/env bash
# Installs what is missing, builds, registers the control and opens Velmora.
set -euo pipefail
cd "$(dirname "$0")"
# The Avahi daemon (on the system bus) finds peers on the network and announces this one.
scripts/setup.sh fonts-wqy-zenhei dbus avahi-daemon
bin="$PWD/build/bin"

if [ -f "$bin/libSender.so" ]; then
  "$bin/component-register" "$bin/libSender.so"
fi

if [ ! -x "$bin/velmora" ]; then
  echo "Built into $bin:"
  ls -1 "$bin"
  exit 0
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset), so the Velmora window cannot open."
  echo "On a desktop, run ./run.sh again; without one, use the command-line host:"
  echo "  $bin/velmora-cli --help"
  exit 1
fi
exec "$bin/velmora"
