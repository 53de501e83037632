#!/usr/bin/env bash
# Two peers on IPv6 link-local addresses, each in a network namespace of this test's own joined
# by a veth pair that lives only there: a listener on [fe80::a%va] pairs with a peer from
# fe80::b, takes a message and a file, byte-exact, and shows its peer with the zone. Then each
# namespace gets a system bus and an Avahi daemon of its own (in a mount namespace of its own,
# IPv6 alone): a listener announced as "office" is found by name, with its AAAA address and
# zone, and connected to by name.
# usage: linklocal.sh BIN_DIR
# Exit 77 (skipped, with the reason) without root, ip, network namespaces or IPv6; the discovery
# part alone is skipped, saying so, without dbus-daemon, avahi-daemon or mount namespaces.
set -uo pipefail
bin="$1"
cli="$bin/velmora-cli"
skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out "$work"/*.err; do
    [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
  done
  exit 1
}
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "ip (iproute2) is not installed"
[ -e /proc/net/if_inet6 ] || skip "the kernel has no IPv6"

a="velmora-ll-a-$$"
b="velmora-ll-b-$$"
work="$(mktemp -d)"
listener=""
browser=""
cleanup() {
  [ -n "$listener" ] && kill -KILL "$listener" 2>/dev/null
  [ -n "$browser" ] && kill -KILL "$browser" 2>/dev/null
  ip netns del "$a" 2>/dev/null
  ip netns del "$b" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$a" 2>/dev/null || skip "network namespaces cannot be made here"
ip netns add "$b" || fail "a second namespace"
ip link add va netns "$a" type veth peer name vb netns "$b" || skip "a veth pair cannot be made here"
for side in "$a va fe80::a" "$b vb fe80::b"; do
  set -- $side
  # No address of the kernel's own beside the one given: the peer is found at that one alone.
  ip -n "$1" link set "$2" addrgenmode none && ip -n "$1" link set lo up && ip -n "$1" link set "$2" up \
    && ip -n "$1" -6 addr add "$3/64" dev "$2" nodad || skip "no IPv6 link-local address on $2"
done

in_a() { env XDG_DATA_HOME="$work/a/data" XDG_CONFIG_HOME="$work/a/config" ip netns exec "$a" "$@"; }
in_b() { env XDG_DATA_HOME="$work/b/data" XDG_CONFIG_HOME="$work/b/config" ip netns exec "$b" "$@"; }
# Waits up to 20 s for a line matching $2 in file $1.
wait_line() {
  for _ in $(seq 400); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

head -c 1500000 /dev/urandom >"$work/photo.jpg"
in_a "$cli" --listen "[fe80::a%va]:0" --receive-dir "$work/in" --once --no-announce --timeout 60 \
  >"$work/listener.out" 2>"$work/listener.err" &
listener=$!
wait_line "$work/listener.out" '^pairing code: ' || fail "the listener on fe80::a%va did not start"
port="$(sed -n 's/^listening: //p' "$work/listener.out")"
code="$(sed -n 's/^pairing code: //p' "$work/listener.out")"
in_b "$cli" --connect "[fe80::a%vb]:$port" --pair "${code//-/}" --say "over the link" --send "$work/photo.jpg" \
  --timeout 60 >"$work/sender.out" 2>"$work/sender.err" || fail "the sender ended with $?"
wait "$listener" || fail "the listener ended with $?"
listener=""
grep -qx 'connected: fe80::b%va' "$work/listener.out" || fail "the peer is not shown as fe80::b%va"
grep -qx 'connected: fe80::a%vb' "$work/sender.out" || fail "the listener is not shown as fe80::a%vb"
grep -qx 'message: over the link' "$work/listener.out" || fail "no message"
cmp -s "$work/photo.jpg" "$work/in/photo.jpg" || fail "the file did not arrive byte-exact"
grep -q '^secure: ' "$work/listener.out" || fail "the connection was not secured"
echo "PASS: paired, a message and a file over fe80::a%va"

for tool in dbus-daemon dbus-send avahi-daemon unshare nsenter; do
  command -v "$tool" >/dev/null || { echo "SKIP: discovery over IPv6: $tool is not installed"; exit 0; }
done
# Runs a command in namespace $1 as side $2 ("a" on va, "b" on vb), with a system bus and an
# Avahi daemon that answer there alone, at the usual path whatever bus the environment names:
# /run/dbus and /run/avahi-daemon are private to it, and it is the first process of a PID
# namespace of its own, so that everything it started ends with it (and it ends when the process
# given by $! is killed). It replaces the shell it runs in with unshare: run it in the background
# or in a subshell.
with_avahi() {
  local ns="$1" side="$2"
  shift 2
  cat >"$work/$side.conf" <<EOF
[server]
allow-interfaces=v$side
use-ipv4=no
use-ipv6=yes
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
EOF
  # shellcheck disable=SC2016
  exec env -u DBUS_SYSTEM_BUS_ADDRESS XDG_DATA_HOME="$work/$side/data" XDG_CONFIG_HOME="$work/$side/config" \
    nsenter --net="/run/netns/$ns" unshare --mount --pid --fork --kill-child bash -c '
    mkdir -p /run/dbus /run/avahi-daemon || exit 90 # where nothing made them yet (no daemon ran here)
    mount --make-rprivate / && mount -t tmpfs tmpfs /run/dbus && mount -t tmpfs tmpfs /run/avahi-daemon || exit 90
    dbus-daemon --system --fork >/dev/null || exit 91
    avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$1" >"$2" 2>&1 &
    for _ in $(seq 400); do
      dbus-send --system --print-reply --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null |
        grep -q "int32 2$" && break
      sleep 0.05
    done
    shift 2
    "$@"' with_avahi "$work/$side.conf" "$work/$side.avahi.log" "$@"
}

with_avahi "$a" a "$cli" --listen 0 --name office --receive-dir "$work/in2" --once --timeout 60 \
  >"$work/announced.out" 2>"$work/announced.err" &
listener=$!
wait_line "$work/announced.out" '^announced: office' || fail "the listener was not announced"
code="$(sed -n 's/^pairing code: //p' "$work/announced.out")"
with_avahi "$b" b "$cli" --discover --json --timeout 60 >"$work/browser.out" 2>"$work/browser.err" &
browser=$!
wait_line "$work/browser.out" '"name":"office"' || fail "office was not found over IPv6"
{ kill -KILL "$browser" && wait "$browser"; } 2>/dev/null # unshare ignores SIGTERM while it waits; its PID namespace ends with it
browser=""
grep '"name":"office"' "$work/browser.out" | grep -q '"addresses":\["fe80::a%[0-9]*"\]' ||
  fail "office was not found at fe80::a with its zone"
(with_avahi "$b" b "$cli" --connect office --pair "${code//-/}" --say "found by name" --timeout 60) \
  >"$work/by-name.out" 2>"$work/by-name.err" || fail "connecting to office by name ended with $?"
wait "$listener" || fail "the announced listener ended with $?"
listener=""
grep -qx 'message: found by name' "$work/announced.out" || fail "no message from the peer that found office by name"
grep -qx 'connected: fe80::b%va' "$work/announced.out" || fail "the peer that found office by name is not fe80::b%va"
echo "PASS: office found by name over IPv6 alone (AAAA, fe80::a with its zone) and connected to"
