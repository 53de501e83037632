#!/bin/sh
# Nautilus script: sends the selected files and folders with velmora-send. Nautilus runs the
# scripts in ~/.local/share/nautilus/scripts/; link this one there under the name its menu shows:
#   ln -s /usr/share/velmora/nautilus/velmora-send-nautilus.sh \
#     ~/.local/share/nautilus/scripts/"Send with Velmora"
# Nautilus passes the selection one path per line; a name holding a newline cannot be told apart.
set -eu
paths=${NAUTILUS_SCRIPT_SELECTED_FILE_PATHS:-}
if [ -z "$paths" ]; then
  exec velmora-send "$@"
fi
old_ifs=$IFS
IFS='
'
# shellcheck disable=SC2086
set -- $paths
IFS=$old_ifs
exec velmora-send "$@"
