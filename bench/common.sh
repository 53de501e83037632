# Helpers the benchmark scripts share; sourced after they set root, work (a scratch folder the
# script removes) and cli (the velmora-cli to run).
# shellcheck shell=bash
# Installs the Debian packages named, when any is given (sudo when not root).
install_missing() {
  [ "$#" -gt 0 ] || return 0
  local sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq && "${sudo_cmd[@]}" apt-get install -y -qq "$@" >/dev/null
}
# Builds the project when nothing is built yet, and sets bin and cli: this build's velmora-cli, or
# the one in VELMORA_BIN_DIR (with its libraries).
choose_cli() {
  [ -x "$root/build/bin/velmora-cli" ] || "$root/scripts/setup.sh"
  bin="${VELMORA_BIN_DIR:-$root/build/bin}"
  cli="$bin/velmora-cli"
  if [ -n "${VELMORA_BIN_DIR:-}" ]; then export LD_LIBRARY_PATH="$bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"; fi
}
# What a script that moves files between velmora-cli and nc needs first: nc, python3 and GNU
# time installed where missing, velmora-cli chosen, and the scratch folder `work`, removed at
# exit. name: part of the folder's name.
bench_start() {
  local need=()
  command -v nc >/dev/null || need+=(netcat-openbsd)
  command -v python3 >/dev/null || need+=(python3)
  [ -x /usr/bin/time ] || need+=(time)
  install_missing "${need[@]}"
  choose_cli
  work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-$1.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
}
# Runs `COMMAND... PORT` in the background on a port drawn at random: one another program holds
# makes the listener end at once, and another is drawn. Sets LISTEN_PORT and LISTEN_PID (empty
# when five draws failed).
listen_on_free_port() {
  LISTEN_PID=""
  for _ in 1 2 3 4 5; do
    LISTEN_PORT=$(( 20000 + RANDOM % 30000 ))
    "$@" "$LISTEN_PORT" &
    LISTEN_PID=$!
    sleep 0.3
    kill -0 "$LISTEN_PID" 2>/dev/null && return 0
    wait "$LISTEN_PID" || true
    LISTEN_PID=""
  done
}
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
# Fields of a /usr/bin/time -v report: CPU seconds (user + sys) and peak RSS in MiB.
cpu_of() { awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.3f", s }' "$1"; }
rss_of() { awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$1"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%s", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
minimum() { printf '%s\n' "$@" | sort -g | head -n1; }
maximum() { printf '%s\n' "$@" | sort -g | tail -n1; }

# Before each timed run that writes a file: what the last run left to write back is written
# first, and as much memory as the run will take is touched once. On a virtual machine that
# hands freed pages back to its host, a page taken anew costs a fault in the host: here a 1 GiB
# file written into the page cache took 1.5 s of system time after 5 idle seconds and 0.4 to
# 0.7 s right after memory was touched, which made every tool's runs spread by a factor of two
# or three. Every tool starts from the same state; on a machine without that cost it is only
# time.
settle() { # path of the file the run copies
  sync
  python3 -c "b = b'\\x01' * ($(stat -c %s "$1") + (512 << 20))"
}

make_file() { # path MiB
  head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom >"$1"
}

# Prefixes each line with the time it was printed.
stamp_lines() { while IFS= read -r line; do printf '%s %s\n' "$(now)" "$line"; done; }

# One velmora-cli transfer: file [chunk interval] (without them, velmora-cli's defaults); sets RATE
# (MB/s, from the sender's start until both sides have exited), DATA_RATE (MB/s, from the
# connection to the end of the send), CPU (s, both sides), RSS_SEND, RSS_RECV.
# With SECURE=1 both sides use the paired identities of secure_setup and speak TLS; RECORDS=openssl
# has both keep OpenSSL's own record layer end to end (VELMORA_TLS_RECORDS); CHECKS=off has them
# send and receive without whole-file checks (VELMORA_FILE_CHECKS).
velmora_run() {
  local src="$1" dst="$work/velmora.out" pacing=() renv=() senv=()
  [ -n "${2:-}" ] && pacing=(--chunk "$2" --interval "$3")
  if [ -n "${SECURE:-}" ]; then
    renv=(env XDG_DATA_HOME="$work/sec-a/data" XDG_CONFIG_HOME="$work/sec-a/config" VELMORA_TLS_RECORDS="${RECORDS:-}"
      VELMORA_FILE_CHECKS="${CHECKS:-}")
    senv=(env XDG_DATA_HOME="$work/sec-b/data" XDG_CONFIG_HOME="$work/sec-b/config" VELMORA_TLS_RECORDS="${RECORDS:-}"
      VELMORA_FILE_CHECKS="${CHECKS:-}")
    pacing+=(--secure)
  fi
  rm -f "$dst" "$work/recv.out"
  settle "$src"
  /usr/bin/time -v -o "$work/recv.time" "${renv[@]}" "$cli" --listen 0 --receive-path "$dst" --once --timeout 900 \
    --no-announce >"$work/recv.out" 2>"$work/recv.err" &
  local rpid=$! port=""
  for _ in $(seq 1 200); do
    port="$(sed -n 's/^listening: //p' "$work/recv.out" 2>/dev/null || true)" # not there until the receiver opens it
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "receiver did not start"; cat "$work/recv.err"; exit 1; }
  local t0 t1; t0="$(now)"
  /usr/bin/time -v -o "$work/send.time" "${senv[@]}" "$cli" --connect "127.0.0.1:$port" --send "$src" \
    "${pacing[@]}" --timeout 900 2>"$work/send.err" | stamp_lines >"$work/send.out"
  wait "$rpid"
  t1="$(now)"
  cmp "$src" "$dst" || { echo "MISMATCH: velmora-cli received a different file"; exit 1; }
  local bytes c s; bytes="$(stat -c %s "$src")"
  c="$(awk '$2 == "connected:" { print $1 }' "$work/send.out")"
  s="$(awk '$2 == "sent:" { print $1; exit }' "$work/send.out")" # the file's own line, before the totals
  RATE="$(calc %.1f "$bytes / ($t1 - $t0) / 1e6")"
  DATA_RATE="$(calc %.2f "$bytes / ($s - $c) / 1e6")"
  CPU="$(calc %.3f "$(cpu_of "$work/send.time") + $(cpu_of "$work/recv.time")")"
  RSS_SEND="$(rss_of "$work/send.time")"
  RSS_RECV="$(rss_of "$work/recv.time")"
}

# One nc transfer, file to file; sets NC_RATE, NC_CPU, NC_RSS.
nc_run() {
  local src="$1" dst="$work/nc.out" port rpid=""
  rm -f "$dst"
  settle "$src"
  nc_into_file() { /usr/bin/time -v -o "$work/ncrecv.time" nc -l 127.0.0.1 "$1" >"$dst" 2>"$work/ncrecv.err"; }
  listen_on_free_port nc_into_file
  port="$LISTEN_PORT"; rpid="$LISTEN_PID"
  [ -n "$rpid" ] || { echo "nc could not listen"; cat "$work/ncrecv.err"; exit 1; }
  local t0 t1; t0="$(now)"
  /usr/bin/time -v -o "$work/ncsend.time" nc -N 127.0.0.1 "$port" <"$src"
  wait "$rpid"
  t1="$(now)"
  cmp "$src" "$dst" || { echo "MISMATCH: nc received a different file"; exit 1; }
  NC_RATE="$(calc %.1f "$(stat -c %s "$src") / ($t1 - $t0) / 1e6")"
  NC_CPU="$(calc %.3f "$(cpu_of "$work/ncsend.time") + $(cpu_of "$work/ncrecv.time")")"
  NC_RSS="$(maximum "$(rss_of "$work/ncsend.time")" "$(rss_of "$work/ncrecv.time")")"
}

# Two identities of the benchmark's own, paired once: sec-a listens, sec-b connects.
secure_setup() {
  local out="$work/pair.out" code="" port=""
  env XDG_DATA_HOME="$work/sec-a/data" XDG_CONFIG_HOME="$work/sec-a/config" "$cli" --listen 0 --once \
    --no-announce --name bench-a --timeout 60 >"$out" 2>/dev/null &
  local pid=$!
  for _ in $(seq 1 200); do
    port="$(sed -n 's/^listening: //p' "$out")"; code="$(sed -n 's/^pairing code: //p' "$out")"
    [ -n "$port" ] && [ -n "$code" ] && break
    sleep 0.05
  done
  env XDG_DATA_HOME="$work/sec-b/data" XDG_CONFIG_HOME="$work/sec-b/config" "$cli" --connect "127.0.0.1:$port" \
    --pair "$code" --name bench-b --say paired --timeout 60 >/dev/null
  wait "$pid"
  grep -q "paired now" "$out" || { echo "the benchmark's two identities did not pair"; cat "$out"; exit 1; }
}
