#!/usr/bin/env bash
# Throughput, memory and pacing of velmora-cli against nc, on one machine over 127.0.0.1.
# usage: bench/throughput.sh [SIZE_MIB]   (default 1024)
# Prints a table; every received file is compared with cmp and a mismatch fails the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
size_mib="${1:-1024}"

need=()
command -v nc >/dev/null || need+=(netcat-openbsd)
[ -x /usr/bin/time ] || need+=(time)
if [ "${#need[@]}" -gt 0 ]; then
  sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq && "${sudo_cmd[@]}" apt-get install -y -qq "${need[@]}" >/dev/null
fi
[ -x "$root/build/bin/velmora-cli" ] || "$root/scripts/setup.sh"
cli="$root/build/bin/velmora-cli"

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }
peak_mib() { awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$1"; }

make_file() { # path MiB
  [ -f "$1" ] || head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom >"$1"
}

# One velmora-cli transfer: file chunk interval; sets RATE, RSS_SEND, RSS_RECV.
velmora_run() {
  local src="$1" chunk="$2" interval="$3" dst="$work/velmora.out"
  rm -f "$dst"
  /usr/bin/time -v -o "$work/recv.time" "$cli" --listen 0 --receive-path "$dst" --once --timeout 900 \
    >"$work/recv.out" 2>"$work/recv.err" &
  local rpid=$!
  local port=""
  for _ in $(seq 1 200); do
    port="$(sed -n 's/^listening: //p' "$work/recv.out")"
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "receiver did not start"; cat "$work/recv.err"; exit 1; }
  local t0; t0="$(now)"
  /usr/bin/time -v -o "$work/send.time" "$cli" --connect "127.0.0.1:$port" --send "$src" \
    --chunk "$chunk" --interval "$interval" --timeout 900 >"$work/send.out" 2>"$work/send.err"
  local t1; t1="$(now)"
  wait "$rpid"
  cmp "$src" "$dst" || { echo "MISMATCH: velmora-cli received a different file"; exit 1; }
  local bytes; bytes="$(stat -c %s "$src")"
  RATE="$(mbps "$bytes" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")"
  RSS_SEND="$(peak_mib "$work/send.time")"
  RSS_RECV="$(peak_mib "$work/recv.time")"
}

nc_run() {
  local src="$1" dst="$work/nc.out" port=$(( 20000 + RANDOM % 30000 ))
  rm -f "$dst"
  nc -l 127.0.0.1 "$port" >"$dst" &
  local rpid=$!
  sleep 0.3
  local t0; t0="$(now)"
  nc -N 127.0.0.1 "$port" <"$src"
  wait "$rpid"
  local t1; t1="$(now)"
  cmp "$src" "$dst" || { echo "MISMATCH: nc received a different file"; exit 1; }
  NC_RATE="$(mbps "$(stat -c %s "$src")" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")"
}

big="$work/big.bin"; small="$work/small.bin"; paced="$work/paced.bin"
make_file "$big" "$size_mib"
make_file "$small" 256
head -c 50000000 /dev/urandom >"$paced"

chunk=4194304
velmora_run "$big" "$chunk" 1
v_rate="$RATE"; v_send="$RSS_SEND"; v_recv="$RSS_RECV"
nc_run "$big"
velmora_run "$small" "$chunk" 1
s_send="$RSS_SEND"; s_recv="$RSS_RECV"
velmora_run "$paced" 100000 10
p_rate="$RATE"

limit="$(awk -v c="$chunk" 'BEGIN { printf "%.1f", 64 + 4 * c / 1048576 }')"
ratio="$(awk -v v="$v_rate" -v n="$NC_RATE" 'BEGIN { printf "%.2f", v / n }')"
printf '\n%-44s %12s\n' "measure" "value"
printf '%-44s %12s\n' "--------------------------------------------" "------------"
printf '%-44s %9s MB/s\n' "velmora-cli, ${size_mib} MiB, chunk 4 MiB, interval 1" "$v_rate"
printf '%-44s %9s MB/s\n' "nc, same file" "$NC_RATE"
printf '%-44s %12s\n' "ratio velmora-cli / nc (target >= 0.8)" "$ratio"
printf '%-44s %8s MiB\n' "peak RSS sender, ${size_mib} MiB" "$v_send"
printf '%-44s %8s MiB\n' "peak RSS receiver, ${size_mib} MiB" "$v_recv"
printf '%-44s %8s MiB\n' "peak RSS sender, 256 MiB" "$s_send"
printf '%-44s %8s MiB\n' "peak RSS receiver, 256 MiB" "$s_recv"
printf '%-44s %8s MiB\n' "RSS limit (64 MiB + 4 x chunk)" "$limit"
printf '%-44s %9s MB/s\n' "paced: chunk 100000, interval 10, 50 MB" "$p_rate"
printf '%-44s %12s\n' "pacing ceiling (within 5% below, never above)" "10.0 MB/s"
echo "all received files matched (cmp)"
