#!/usr/bin/env bash
# Many small files, between two velmora-cli on 127.0.0.1 in secure mode (paired identities of the
# benchmark's own), against `tar c | nc` into `nc -l | tar x` in the same run:
# - a folder of COUNT files of SIZE bytes (default 5000 of 4 KiB), RUNS times each after one
#   untimed run of each, timed from the sender's start until both processes have exited;
#   files per second and velmora / tar+nc;
# - a folder of 100,000 files of 1 KiB once (VELMORA_SMALL_MANY, 0 to skip): the peak RSS of
#   each side.
# usage: bench/smallfiles.sh [RUNS]   (default 5; VELMORA_SMALL_COUNT, VELMORA_SMALL_SIZE)
# Prints a table and one JSON line; every received folder is compared with diff -r.
set -Eeuo pipefail
trap 'echo "bench/smallfiles.sh: line $LINENO failed (exit $?): $BASH_COMMAND" >&2' ERR
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-5}"
count="${VELMORA_SMALL_COUNT:-5000}"
size="${VELMORA_SMALL_SIZE:-4096}"
many="${VELMORA_SMALL_MANY:-100000}"

. "$root/bench/common.sh"
bench_start small

make_folder() { # path count bytes
  mkdir -p "$1"
  python3 - "$1" "$2" "$3" <<'EOF'
import os, sys
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    with open(os.path.join(folder, "f%06d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
EOF
}

# One secure velmora-cli send of a folder; sets FILES_RATE, RSS_SEND, RSS_RECV.
velmora_folder() { # folder count
  local src="$1" n="$2" into="$work/velmora-in${RUN:-}" port=""
  rm -rf "$into" "$work/recv.out"
  sync
  /usr/bin/time -v -o "$work/recv.time" env XDG_DATA_HOME="$work/sec-a/data" XDG_CONFIG_HOME="$work/sec-a/config" \
    "$cli" --listen 0 --receive-dir "$into" --secure --no-announce --timeout 900 >"$work/recv.out" 2>"$work/recv.err" &
  local rpid=$!
  for _ in $(seq 1 200); do
    port="$(sed -n 's/^listening: //p' "$work/recv.out" 2>/dev/null || true)"
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "receiver did not start"; cat "$work/recv.err"; exit 1; }
  local t0 t1; t0="$(now)"
  /usr/bin/time -v -o "$work/send.time" env XDG_DATA_HOME="$work/sec-b/data" XDG_CONFIG_HOME="$work/sec-b/config" \
    "$cli" --connect "127.0.0.1:$port" --send "$src" --secure --timeout 900 >"$work/send.out" 2>&1
  wait "$rpid"
  t1="$(now)"
  diff -r "$src" "$into/$(basename "$src")" >/dev/null || { echo "MISMATCH: the folder arrived different"; exit 1; }
  FILES_RATE="$(calc %.0f "$n / ($t1 - $t0)")"
  RSS_SEND="$(rss_of "$work/send.time")"
  RSS_RECV="$(rss_of "$work/recv.time")"
}

# One `tar c | nc` into `nc -l | tar x`; sets TAR_RATE.
tar_folder() { # folder count
  local src="$1" n="$2" into="$work/tar-in${RUN:-}" port="" rpid=""
  rm -rf "$into"; mkdir -p "$into"
  sync
  nc_into_tar() { (nc -l 127.0.0.1 "$1" | tar x -C "$into") 2>"$work/tar.err"; }
  listen_on_free_port nc_into_tar
  port="$LISTEN_PORT"; rpid="$LISTEN_PID"
  [ -n "$rpid" ] || { echo "nc could not listen"; cat "$work/tar.err"; exit 1; }
  local t0 t1; t0="$(now)"
  tar c -C "$(dirname "$src")" "$(basename "$src")" | nc -N 127.0.0.1 "$port"
  wait "$rpid"
  t1="$(now)"
  diff -r "$src" "$into/$(basename "$src")" >/dev/null || { echo "MISMATCH: tar received a different folder"; exit 1; }
  TAR_RATE="$(calc %.0f "$n / ($t1 - $t0)")"
}

secure_setup
folder="$work/small/photos"
make_folder "$folder" "$count" "$size"
velmora_folder "$folder" "$count"
tar_folder "$folder" "$count"
v=(); t=(); ratios=()
# Each run receives into folders of its own, all removed after the runs: a file system that has
# just freed thousands of inodes is slower to hand out new ones, and no run pays for another's.
for RUN in $(seq 1 "$runs"); do
  velmora_folder "$folder" "$count"; v+=("$FILES_RATE")
  tar_folder "$folder" "$count"; t+=("$TAR_RATE")
  ratios+=("$(calc %.2f "$FILES_RATE / $TAR_RATE")")
done
v_med="$(median "${v[@]}")"; t_med="$(median "${t[@]}")"
ratio="$(calc %.2f "$v_med / $t_med")"; lowest="$(minimum "${ratios[@]}")"
RUN=""
rm -rf "$work/small" "$work/velmora-in"* "$work/tar-in"*

many_send=""; many_recv=""; many_rate=""
if [ "$many" -gt 0 ]; then
  folder="$work/many/files"
  make_folder "$folder" "$many" 1024
  velmora_folder "$folder" "$many"
  many_send="$RSS_SEND"; many_recv="$RSS_RECV"; many_rate="$FILES_RATE"
fi

echo "runs: $runs (median shown); $(nproc) cores; $(uptime | sed 's/.*load average/load average/')"
printf '%-58s %14s\n' measure value
printf '%-58s %14s\n' "$(printf -- '-%.0s' {1..58})" "$(printf -- '-%.0s' {1..14})"
printf '%-58s %8s files/s\n' "$count files of $size bytes, secure velmora-cli (goal >= 5000)" "$v_med"
printf '%-58s %8s files/s\n' "$count files of $size bytes, tar c | nc into tar x" "$t_med"
printf '%-58s %14s\n' "velmora / tar+nc (goal >= 1.5)" "$ratio"
printf '%-58s %14s\n' "lowest ratio of one run (goal >= 1.0)" "$lowest"
printf '%-58s %14s\n' "  velmora, files/s of each run" "${v[*]}"
printf '%-58s %14s\n' "  tar+nc, files/s of each run" "${t[*]}"
if [ -n "$many_rate" ]; then
  printf '%-58s %8s files/s\n' "$many files of 1 KiB, secure velmora-cli" "$many_rate"
  printf '%-58s %10s MiB\n' "  peak RSS, sender (goal < 80)" "$many_send"
  printf '%-58s %10s MiB\n' "  peak RSS, receiver (goal < 80)" "$many_recv"
fi
json="{\"runs\":$runs,\"count\":$count,\"size\":$size,\"velmora_files_per_s\":$v_med,\"tar_nc_files_per_s\":$t_med"
json+=",\"ratio\":$ratio,\"lowest_ratio\":$lowest"
[ -n "$many_rate" ] && json+=",\"many\":$many,\"many_files_per_s\":$many_rate,\"many_rss_send_mib\":$many_send,\"many_rss_recv_mib\":$many_recv"
echo "$json}"
