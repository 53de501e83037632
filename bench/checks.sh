#!/usr/bin/env bash
# Whole-file checks and resume in secure mode, between two velmora-cli on 127.0.0.1:
# - each size moved with checks on, with checks off (VELMORA_FILE_CHECKS=off on both sides) and by
#   nc, RUNS times each after one untimed run of each, each round in another order, timed as
#   bench/throughput.sh times them (from the sender's start until both processes have exited);
# - a 1 GiB secure send cut at half (the sender killed once the receiver holds half the file),
#   then sent again: the resumed send's time against a whole send's.
# usage: bench/checks.sh [RUNS]   (default 5; VELMORA_CHECK_SIZES="512 1024 4096" in MiB)
# Prints a table and one JSON line; every received file is compared with cmp.
set -Eeuo pipefail
trap 'echo "bench/checks.sh: line $LINENO failed (exit $?): $BASH_COMMAND" >&2' ERR
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-5}"
read -r -a sizes <<<"${VELMORA_CHECK_SIZES:-512 1024 4096}"

# The helpers every benchmark script shares: installing, timing, medians, one velmora-cli or nc
# transfer, the paired identities of secure mode (they use work and cli only when called).
. "$root/bench/common.sh"
bench_start checks

# A secure send of `file` that the benchmark cuts once the receiver holds half of it: the
# receiver keeps what came for the next send. Sets CUT_AT (bytes held).
cut_run() {
  local src="$1" dst="$work/velmora.out" half
  half=$(( $(stat -c %s "$src") / 2 ))
  rm -f "$dst" "$work/recv.out" "$work"/.velmora.out.velmora-*
  env XDG_DATA_HOME="$work/sec-a/data" XDG_CONFIG_HOME="$work/sec-a/config" "$cli" --listen 0 --receive-path "$dst" \
    --once --timeout 900 --no-announce >"$work/recv.out" 2>&1 &
  local rpid=$! port=""
  for _ in $(seq 1 200); do
    port="$(sed -n 's/^listening: //p' "$work/recv.out" 2>/dev/null || true)"
    [ -n "$port" ] && break
    sleep 0.05
  done
  env XDG_DATA_HOME="$work/sec-b/data" XDG_CONFIG_HOME="$work/sec-b/config" "$cli" --connect "127.0.0.1:$port" \
    --send "$src" --secure --timeout 900 >/dev/null 2>&1 &
  local spid=$! held=0
  while kill -0 "$spid" 2>/dev/null; do
    held="$(stat -c %s "$work"/.velmora.out.velmora-* 2>/dev/null || echo 0)"
    [ "$held" -ge "$half" ] && break
  done
  kill -9 "$spid" 2>/dev/null || true
  wait "$spid" 2>/dev/null || true
  wait "$rpid" 2>/dev/null || true
  CUT_AT="$(stat -c %s "$work"/.velmora.out.velmora-* 2>/dev/null || echo 0)"
}

secure_setup
declare -A on_med off_med nc_med on_ratio min_ratio on_off each_on each_off each_nc
for size in "${sizes[@]}"; do
  big="$work/big-$size.bin"
  make_file "$big" "$size"
  SECURE=1 velmora_run "$big"
  SECURE=1 CHECKS=off velmora_run "$big"
  nc_run "$big"
  on=(); off=(); ncr=(); ratios=()
  for round in $(seq 1 "$runs"); do
    # Each round starts with another of the three, so that none always runs right after the same
    # one: at 4 GiB, the order alone moved checks on / checks off from about 0.8 to about 0.95.
    for k in 0 1 2; do
      case $(( (round + k) % 3 )) in
        0) SECURE=1 velmora_run "$big"; on+=("$RATE") ;;
        1) SECURE=1 CHECKS=off velmora_run "$big"; off+=("$RATE") ;;
        2) nc_run "$big"; ncr+=("$NC_RATE") ;;
      esac
    done
    ratios+=("$(calc %.2f "${on[-1]} / ${ncr[-1]}")")
  done
  on_med[$size]="$(median "${on[@]}")"; off_med[$size]="$(median "${off[@]}")"; nc_med[$size]="$(median "${ncr[@]}")"
  on_ratio[$size]="$(calc %.2f "${on_med[$size]} / ${nc_med[$size]}")"
  min_ratio[$size]="$(minimum "${ratios[@]}")"
  on_off[$size]="$(calc %.3f "${on_med[$size]} / ${off_med[$size]}")"
  each_on[$size]="${on[*]}"; each_off[$size]="${off[*]}"; each_nc[$size]="${ncr[*]}"
  rm -f "$big"
done

# Resume: whole sends and cut-and-resumed sends of 1 GiB, alternately.
big="$work/big-resume.bin"
make_file "$big" 1024
bytes="$(stat -c %s "$big")"
SECURE=1 velmora_run "$big"
whole=(); resumed=(); cuts=()
for _ in $(seq 1 "$runs"); do
  SECURE=1 velmora_run "$big"; whole+=("$(calc %.3f "$bytes / $RATE / 1e6")")
  cut_run "$big"
  SECURE=1 velmora_run "$big"
  grep -q "resumed: " "$work/send.out" || { echo "the second send did not resume"; cat "$work/send.out"; exit 1; }
  resumed+=("$(calc %.3f "$bytes / $RATE / 1e6")"); cuts+=("$CUT_AT")
done
whole_s="$(median "${whole[@]}")"; resumed_s="$(median "${resumed[@]}")"
resume_share="$(calc %.2f "$resumed_s / $whole_s")"

echo "runs per size: $runs (median shown); $(nproc) cores; $(uptime | sed 's/.*load average/load average/')"
printf '%-58s %14s\n' measure value
printf '%-58s %14s\n' "$(printf -- '-%.0s' {1..58})" "$(printf -- '-%.0s' {1..14})"
for size in "${sizes[@]}"; do
  printf '%-58s %9s MB/s\n' "secure, checks on, $size MiB" "${on_med[$size]}"
  printf '%-58s %9s MB/s\n' "secure, checks off, $size MiB" "${off_med[$size]}"
  printf '%-58s %9s MB/s\n' "nc, $size MiB" "${nc_med[$size]}"
  printf '%-58s %14s\n' "ratio checks on / nc, $size MiB (goal >= 1.0)" "${on_ratio[$size]}"
  printf '%-58s %14s\n' "lowest ratio of one run, $size MiB (goal >= 0.8)" "${min_ratio[$size]}"
  printf '%-58s %14s\n' "checks on / checks off, $size MiB (goal >= 0.95)" "${on_off[$size]}"
  printf '  %-56s %s\n' "on, off, nc MB/s of each run" "${each_on[$size]} / ${each_off[$size]} / ${each_nc[$size]}"
done
printf '%-58s %12s s\n' "1 GiB whole secure send" "$whole_s"
printf '%-58s %12s s\n' "1 GiB resumed from half" "$resumed_s"
printf '%-58s %14s\n' "resumed / whole (goal <= 0.55)" "$resume_share"
printf '  %-56s %s\n' "bytes held at each cut" "${cuts[*]}"
json="{\"runs\":$runs"
for size in "${sizes[@]}"; do
  json+=",\"checks_on_${size}\":${on_med[$size]},\"checks_off_${size}\":${off_med[$size]},\"nc_${size}\":${nc_med[$size]}"
  json+=",\"ratio_${size}\":${on_ratio[$size]},\"min_ratio_${size}\":${min_ratio[$size]},\"on_off_${size}\":${on_off[$size]}"
done
json+=",\"whole_s\":$whole_s,\"resumed_s\":$resumed_s,\"resume_share\":$resume_share}"
echo "$json"
