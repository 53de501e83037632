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
  for _ in $(seq 1 150); do
    win="$(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | grep -v -x -F "${1:-none}" | head -n 1)"
    [ -n "$win" ] && break
    sleep 0.1
  done
  echo "$win"
}

# Clicks at a point of a window, relative to its top-left corner.
click() { xdotool mousemove --sync --window "$1" "$2" "$3" click 1; sleep 0.2; }
# Replaces the text of the text box at a point.
fill() {
  xdotool windowfocus --sync "$1" 2>/dev/null
  click "$1" "$2" "$3"
  xdotool key --window "$1" ctrl+a BackSpace
  xdotool type --window "$1" --delay 20 "$4"
  sleep 0.2
}

"$bin/velmora" >"$work/velmora-A.log" 2>&1 &
pids+=($!)
winA="$(find_window)"
"$bin/velmora" >"$work/velmora-B.log" 2>&1 &
pids+=($!)
winB="$(find_window "$winA")"
[ -n "$winA" ] && [ -n "$winB" ] || { echo "FAIL: the windows did not appear"; cat "$work"/velmora-*.log; exit 1; }
xdotool windowmove "$winB" 760 0
sleep 1.5 # let both windows settle before the first click

# Closes any message box left open (they are modal and would swallow the next clicks).
close_boxes() {
  for w in $(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null); do
    if [ "$w" != "$winA" ] && [ "$w" != "$winB" ]; then
      xdotool windowfocus --sync "$w" 2>/dev/null
      xdotool key --window "$w" Return 2>/dev/null
      sleep 0.3
    fi
  done
}

head -c 1500000 /dev/urandom >"$work/source.bin"
received="$work/received.bin"

for attempt in 1 2 3; do
  close_boxes
  port=$(( 20000 + (RANDOM % 30000) ))
  # A listens on the port typed into its port box.
  fill "$winA" 200 89 "$port"
  click "$winA" 357 89
  # B connects to 127.0.0.1 on that port.
  fill "$winB" 200 59 "127.0.0.1"
  fill "$winB" 200 89 "$port"
  click "$winB" 357 59
  sleep 1.5
  # B sends the file; A stores it at the path B announces.
  fill "$winB" 227 213 "$work/source.bin"
  fill "$winB" 227 243 "$received"
  fill "$winB" 174 181 "10"
  click "$winB" 354 276
  [ -n "${VELMORA_SMOKE_DEBUG:-}" ] && import -window root "$VELMORA_SMOKE_DEBUG-$attempt.png"
  for _ in $(seq 1 100); do
    if [ -f "$received" ] && cmp -s "$work/source.bin" "$received"; then
      echo "file arrived byte-identical (attempt $attempt)"
      if [ -n "$shot" ] && command -v import >/dev/null; then
        sleep 0.5
        import -window root -crop 1480x420+0+0 "$shot" 2>/dev/null && echo "screenshot: $shot"
      fi
      exit 0
    fi
    sleep 0.2
  done
  echo "attempt $attempt: the file did not arrive; trying again"
done
echo "FAIL: the file never arrived"
cat "$work"/velmora-*.log
exit 1
