#!/usr/bin/env bash
# Runs a command with an Avahi daemon that answers on loopback only, and stops what it started.
# usage: with_avahi.sh STATE_DIR COMMAND...
#
# The command finds this script's pid in VELMORA_TEST_AVAHI_RESTARTER: SIGUSR1 to it stops the
# daemon and starts it again, as a restart by the system would. The daemon keeps at most 32
# objects (browsers, resolvers, entry groups) for one client, so its limit is cheap to reach.
#
# When no system bus runs, it starts one; it then starts avahi-daemon with a configuration of its
# own (STATE_DIR/velmora-test-avahi.conf) that allows the interface lo alone and publishes nothing
# of the host's own. Multicast never leaves lo. A daemon this script did not start answers on
# interfaces of its own choosing, so the command is not run with it: exit 77 (skipped), with the
# reason, as also when not root. One run at a time on the machine: a lock serializes them.
set -uo pipefail
state="$1"
shift
lock=/tmp/velmora-avahi-tests.lock
bus_record=/tmp/velmora-avahi-tests.bus # the pid of a system bus a run of this script started
mkdir -p "$state"
conf="$state/velmora-test-avahi.conf"

# Held on descriptor 9, which nothing started here inherits: a daemon left behind would hold it.
exec 9>"$lock"
flock 9

bus_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetId >/dev/null 2>&1
}
avahi_running() {
  dbus-send --system --print-reply --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState \
    2>/dev/null | grep -q 'int32 2$'
}
# A process that exists and has not ended (an ended one may linger unreaped as a zombie).
alive() { [ -n "$1" ] && [ -r "/proc/$1/status" ] && ! grep -q '^State:.*[ZX]' "/proc/$1/status" 2>/dev/null; }
dead() { ! alive "$1"; }
# Waits up to 20 s for a condition, checking every 50 ms.
wait_for() {
  for _ in $(seq 400); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}
skip() {
  echo "SKIP: $*"
  exit 77
}

avahi_pid=""
bus_pid=""
command_pid=""
stop() {
  alive "$command_pid" && kill "$command_pid"
  if alive "$avahi_pid"; then
    kill "$avahi_pid"
    wait_for dead "$avahi_pid" || { kill -9 "$avahi_pid"; rm -f /run/avahi-daemon/pid; }
  fi
  if alive "$bus_pid"; then
    kill "$bus_pid"
    wait_for dead "$bus_pid" || kill -9 "$bus_pid"
    rm -f "$bus_record" /run/dbus/pid
  fi
}
trap stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT HUP

[ "$(id -u)" -eq 0 ] || skip "starting a system bus and avahi-daemon needs root"
for tool in dbus-daemon dbus-send avahi-daemon; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (./test.sh installs it)"
done

# A daemon left behind by an interrupted run of this script is stopped; any other one is not used.
# The pid file of a daemon that was killed would make the next one refuse to start.
old="$(cat /run/avahi-daemon/pid 2>/dev/null)"
alive "$old" || rm -f /run/avahi-daemon/pid
if alive "$old"; then
  if tr '\0' ' ' <"/proc/$old/cmdline" 2>/dev/null | grep -q velmora-test-avahi.conf; then
    kill "$old"
    wait_for dead "$old" || kill -9 "$old"
    rm -f /run/avahi-daemon/pid
  else
    skip "an avahi-daemon that these tests did not start runs (pid $old); its interfaces are its own," \
      "so the discovery tests do not announce through it"
  fi
fi

if ! bus_answers; then
  rm -f /run/dbus/pid # a killed bus leaves it behind, and the next start would fail
  mkdir -p /run/dbus
  bus_pid="$(dbus-daemon --system --fork --print-pid 9>&-)" || { echo "dbus-daemon did not start"; exit 1; }
  echo "$bus_pid" >"$bus_record"
  wait_for bus_answers || { echo "the system bus started as pid $bus_pid does not answer"; exit 1; }
elif recorded="$(cat "$bus_record" 2>/dev/null)" && alive "$recorded" \
  && grep -q dbus-daemon "/proc/$recorded/comm" 2>/dev/null; then
  bus_pid="$recorded" # started by an interrupted run: this run stops it
fi

cat >"$conf" <<'EOF'
[server]
allow-interfaces=lo
objects-per-client-max=32
use-ipv4=yes
use-ipv6=no
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no
[reflector]
enable-reflector=no
EOF
start_avahi() {
  avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title -f "$conf" >>"$state/avahi-daemon.log" 2>&1 9>&- &
  avahi_pid=$!
  if ! wait_for avahi_running; then
    echo "avahi-daemon (pid $avahi_pid) did not come up; its log:"
    cat "$state/avahi-daemon.log"
    exit 1
  fi
}
: >"$state/avahi-daemon.log"
start_avahi

restart=0
trap 'restart=1' USR1
export VELMORA_TEST_AVAHI_RESTARTER=$$
"$@" 9>&- &
command_pid=$!
while :; do
  wait "$command_pid"
  status=$?
  # A signal ends the wait early: restart the daemon and wait on.
  [ "$restart" -eq 1 ] && alive "$command_pid" || break
  restart=0
  kill "$avahi_pid"
  wait_for dead "$avahi_pid" || kill -9 "$avahi_pid"
  rm -f /run/avahi-daemon/pid
  start_avahi
done
exit "$status"
