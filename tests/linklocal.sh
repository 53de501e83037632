#!/usr/bin/env bash
# Two peers on IPv6 link-local addresses, each in a network namespace of this test's own joined
# by a veth pair that lives only there: a listener on [fe80::a%va] pairs with a peer from
# fe80::b, takes a message and a file, byte-exact, and shows its peer with the zone.
# usage: linklocal.sh BIN_DIR
# Exit 77 (skipped, with the reason) without root, ip, network namespaces or IPv6.
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
cleanup() {
  [ -n "$listener" ] && kill "$listener" 2>/dev/null
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
  ip -n "$1" link set lo up && ip -n "$1" link set "$2" up \
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
