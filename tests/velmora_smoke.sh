#!/usr/bin/env bash
# Two real Velmora windows under Xvfb, driven with xdotool like a user would: one listens,
# the other connects and sends a file, which must arrive byte-identical.
# usage: velmora_smoke.sh BINDIR [SCREENSHOT.png]
set -u
bin="$1"
shot="${2:-}"
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

export COMPONENT_REGISTRY="$work/registry.ini"
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$bin/component-register" "$bin/libSender.so" >/dev/null || { echo "FAIL: cannot register the control"; exit 1; }

# Xvfb picks a free display number itself and writes it to fd 3; -noreset keeps it from
# restarting (and refusing connections) each time its last client goes.
Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
for _ in $(seq 1 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
xdotool getdisplaygeometry >/dev/null 2>&1 || { echo "FAIL: Xvfb does not answer on $DISPLAY"; cat "$work/xvfb.log"; exit 1; }

# Prints the id of the first Velmora window that is not `$1`, once there is one.
find_window() {
  local win=""
  for _ in $(seq 1 300); do
    win="$(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | grep -v -x -F "${1:-none}" | head -n 1)"
    [ -n "$win" ] && break
    sleep 0.1
  done
  echo "$win"
}

# Prints the local port of each TCP socket of process $1 in state $2 (0A listening, 01 connected).
sockets_in_state() {
  local inodes
  inodes=" $(find "/proc/$1/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n' | tr '\n' ' ') "
  cat "/proc/$1/net/tcp" "/proc/$1/net/tcp6" 2>/dev/null | while read -r _ local _ state _ _ _ _ _ inode _; do
    [ "$state" = "$2" ] && [[ "$inodes" == *" $inode "* ]] && echo $(( 16#${local##*:} ))
  done
}
# Waits up to 30 s for a command to succeed.
wait_until() {
  for _ in $(seq 1 300); do "$@" && return 0; sleep 0.1; done
  return 1
}
has_socket() { [ -n "$(sockets_in_state "$1" "$2")" ]; }
same_file() { [ -f "$2" ] && cmp -s "$1" "$2"; }
fail() {
  echo "FAIL: $*"
  import -window root "$work/failure.png" 2>/dev/null && cp "$work/failure.png" "${TMPDIR:-/tmp}/velmora-smoke-failure.png" \
    && echo "screen: ${TMPDIR:-/tmp}/velmora-smoke-failure.png"
  cat "$work"/velmora-*.log
  exit 1
}

# Clicks at a point of a window, relative to its top-left corner. X delivers the events in order,
# so what follows reaches the window after the click.
click() { xdotool mousemove --sync --window "$1" "$2" "$3" click 1; }
# Replaces the text of the text box at a point.
fill() {
  xdotool windowfocus --sync "$1" 2>/dev/null
  click "$1" "$2" "$3"
  xdotool key --window "$1" ctrl+a BackSpace
  xdotool type --window "$1" --delay 20 "$4"
}

"$bin/velmora" >"$work/velmora-A.log" 2>&1 &
pidA=$!
pids+=("$pidA")
winA="$(find_window)"
"$bin/velmora" >"$work/velmora-B.log" 2>&1 &
pids+=($!)
winB="$(find_window "$winA")"
[ -n "$winA" ] && [ -n "$winB" ] || fail "the windows did not appear"
xdotool windowmove --sync "$winB" 760 0

head -c 1500000 /dev/urandom >"$work/source.bin"
received="$work/received.bin"

# A listens on port 0 typed into its port box: the system picks a free port.
fill "$winA" 200 89 0
click "$winA" 357 89
wait_until has_socket "$pidA" 0A || fail "A does not listen"
port="$(sockets_in_state "$pidA" 0A | head -n 1)"
# B connects to 127.0.0.1 on that port.
fill "$winB" 200 59 "127.0.0.1"
fill "$winB" 200 89 "$port"
click "$winB" 357 59
wait_until has_socket "$pidA" 01 || fail "B did not connect to A on port $port"
# B sends the file; A stores it at the path B announces.
fill "$winB" 227 213 "$work/source.bin"
fill "$winB" 227 243 "$received"
fill "$winB" 174 181 "10"
click "$winB" 354 276
wait_until same_file "$work/source.bin" "$received" || fail "the file did not arrive byte-identical"
echo "file arrived byte-identical"
if [ -n "$shot" ] && command -v import >/dev/null; then
  # The progress bars follow the transfer every 100 ms: wait for both to be drawn full.
  sleep 0.5
  import -window root -crop 1480x420+0+0 "$shot" 2>/dev/null && echo "screenshot: $shot"
fi
exit 0
