#!/usr/bin/env bash
# Throughput, CPU, memory and pacing of velmora-cli against nc, on one machine over 127.0.0.1,
# with iperf3's memory-to-memory rate over the same loopback as the ceiling, then velmora-cli and
# nc over an emulated 1 Gbit/s link, many small files and the message round trip
# (velmora-controlbench). velmora-cli runs with its defaults (no --chunk, no --interval), as a
# new user runs it. Every tool is timed the same way: from the sender's start until both
# processes have exited (and the copy is on disk).
# usage: bench/throughput.sh [RUNS]   (default 3; each size is moved RUNS times by each tool, after
# one untimed run of each)
# The link is the loopback of a network namespace of its own (unshare -n, root only), cut to
# Ethernet's 1500-byte packets and shaped to 1 Gbit/s with tbf; without root that part is skipped.
# VELMORA_BIN_DIR=folder runs the velmora-cli found there instead of build/bin's.
# Prints a table and one JSON line; every received file is compared with cmp and a mismatch
# fails the run.
set -Eeuo pipefail
# A step that fails says which, rather than ending the run without a word.
trap 'echo "bench/throughput.sh: line $LINENO failed (exit $?): $BASH_COMMAND" >&2' ERR
root="$(cd "$(dirname "$0")/.." && pwd)"
link_mode=0
if [ "${1:-}" = "--on-emulated-link" ]; then link_mode=1; shift; fi
runs="${1:-3}"
sizes=(512 1024)

need=()
command -v nc >/dev/null || need+=(netcat-openbsd)
command -v iperf3 >/dev/null || need+=(iperf3)
[ -x /usr/sbin/sshd ] || need+=(openssh-server)
command -v rsync >/dev/null || need+=(rsync)
command -v python3 >/dev/null || need+=(python3)
command -v wormhole >/dev/null || need+=(magic-wormhole python3-magic-wormhole-mailbox-server magic-wormhole-transit-relay)
[ -x /usr/bin/time ] || need+=(time)
# The helpers every benchmark script shares: installing, timing, medians, one velmora-cli or nc
# transfer, the paired identities of secure mode (they use work and cli only when called).
. "$root/bench/common.sh"
install_missing "${need[@]}"
choose_cli

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench.XXXXXX")"
SSHD_PID=""; MAILBOX_PID=""; RELAY_PID=""
cleanup() {
  for pid in $SSHD_PID $MAILBOX_PID $RELAY_PID; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A private sshd on 127.0.0.1 with a host key of its own, for scp and rsync over ssh; sets
# SSH_OK (empty when it cannot run here), SSH_OPTS and SSH_PORT.
ssh_setup() {
  local dir="$work/ssh" port=$(( 20000 + RANDOM % 30000 ))
  SSH_OK=""
  [ -x /usr/sbin/sshd ] || return 0
  mkdir -p "$dir" /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key"
  cp "$dir/client_key.pub" "$dir/authorized_keys"
  printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $dir/host_key" \
    "AuthorizedKeysFile $dir/authorized_keys" "PasswordAuthentication no" "KbdInteractiveAuthentication no" \
    "PermitRootLogin prohibit-password" "StrictModes no" "UsePAM no" "PidFile $dir/sshd.pid" \
    "Subsystem sftp internal-sftp" >"$dir/sshd_config"
  /usr/sbin/sshd -f "$dir/sshd_config" -D -e 2>"$dir/sshd.log" &
  SSHD_PID=$!
  SSH_OPTS="-i $dir/client_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
  SSH_PORT=$port
  for _ in $(seq 1 100); do
    # shellcheck disable=SC2086
    ssh $SSH_OPTS -p "$port" "$(id -un)@127.0.0.1" true 2>/dev/null && { SSH_OK=1; return 0; }
    sleep 0.1
  done
}

# magic-wormhole with a mailbox server and a transit relay of its own on 127.0.0.1; sets WH_OK.
wormhole_setup() {
  WH_OK=""
  command -v wormhole >/dev/null && command -v twistd3 >/dev/null || return 0
  WH_PORT=$(( 20000 + RANDOM % 30000 ))
  (cd "$work" && exec twistd3 -n --pidfile= wormhole-mailbox --port "tcp:$WH_PORT:interface=127.0.0.1" \
    >"$work/mailbox.log" 2>&1) &
  MAILBOX_PID=$!
  (cd "$work" && exec twistd3 -n --pidfile= transitrelay --port "tcp:$(( WH_PORT + 1 )):interface=127.0.0.1" \
    >"$work/relay.log" 2>&1) &
  RELAY_PID=$!
  for _ in $(seq 1 100); do
    grep -q "Starting factory\|Site starting" "$work/mailbox.log" 2>/dev/null && { WH_OK=1; return 0; }
    sleep 0.1
  done
}

# One encrypted copy of $2 by tool $1 (scp, rsync, wormhole); sets ENC_RATE (MB/s, from the
# sender's start until the copy is complete).
encrypted_run() {
  local tool="$1" src="$2" dst="$work/enc.out" t0 t1
  rm -f "$dst"
  settle "$src"
  t0="$(now)"
  case "$tool" in
    # shellcheck disable=SC2086
    scp) scp -q $SSH_OPTS -P "$SSH_PORT" "$src" "$(id -un)@127.0.0.1:$dst" ;;
    rsync) rsync -q -e "ssh $SSH_OPTS -p $SSH_PORT" "$src" "$(id -un)@127.0.0.1:$dst" ;;
    wormhole)
      local relay=(--relay-url "ws://127.0.0.1:$WH_PORT/v1" --transit-helper "tcp:127.0.0.1:$(( WH_PORT + 1 ))")
      local code="7-bench-$RANDOM"
      wormhole "${relay[@]}" send --code "$code" "$src" >"$work/wh-send.log" 2>&1 &
      local spid=$!
      (cd "$work" && wormhole "${relay[@]}" receive --accept-file -o "$dst" "$code" >/dev/null 2>&1)
      wait "$spid" ;;
  esac
  t1="$(now)"
  cmp "$src" "$dst" || { echo "MISMATCH: $tool received a different file"; exit 1; }
  ENC_RATE="$(calc %.1f "$(stat -c %s "$src") / ($t1 - $t0) / 1e6")"
}

# iperf3 over 127.0.0.1, memory to memory, $1 MiB: sets CEILING (MB/s at the receiver).
iperf_run() {
  local port spid="" ok=""
  sync
  for _ in 1 2 3 4 5; do # a port another program holds: take another one
    port=$(( 20000 + RANDOM % 30000 ))
    iperf3 -s -1 -B 127.0.0.1 -p "$port" --forceflush >"$work/iperf-server.out" 2>&1 &
    spid=$!
    for _ in $(seq 1 200); do
      grep -q "Server listening" "$work/iperf-server.out" 2>/dev/null && break
      kill -0 "$spid" 2>/dev/null || break
      sleep 0.05
    done
    if grep -q "Server listening" "$work/iperf-server.out" 2>/dev/null \
        && iperf3 -c 127.0.0.1 -p "$port" -n "$(( $1 * 1024 * 1024 ))" -J >"$work/iperf.json" 2>/dev/null; then
      ok=1
    fi
    kill "$spid" 2>/dev/null || true
    wait "$spid" 2>/dev/null || true
    [ -n "$ok" ] && break
  done
  [ -n "$ok" ] || { echo "iperf3 did not run"; cat "$work/iperf-server.out"; exit 1; }
  CEILING="$(awk -F: '/"sum_received"/ { found = 1 } found && /"bits_per_second"/ { gsub(/[ ,]/, "", $2); printf "%.1f", $2 / 8e6; exit }' "$work/iperf.json")"
}

# Over the emulated link (run inside its namespace by the part below): 256 MiB, RUNS times each.
if [ "$link_mode" -eq 1 ]; then
  ip link set lo up
  ip link set lo mtu 1500
  tc qdisc add dev lo root tbf rate 1gbit burst 256kb latency 20ms
  big="$work/link.bin"
  make_file "$big" 256
  velmora_run "$big"
  nc_run "$big"
  rates=(); ncrates=()
  for _ in $(seq 1 "$runs"); do
    velmora_run "$big"
    nc_run "$big"
    rates+=("$RATE"); ncrates+=("$NC_RATE")
  done
  echo "LINK $(median "${rates[@]}") $(median "${ncrates[@]}") ${rates[*]} / ${ncrates[*]}"
  exit 0
fi

chunk=4194304
declare -A v_med nc_med ratio_of min_ratio each_ratio each_rate each_nc_rate v_cpu nc_cpu ceiling share
declare -A s_med s_ratio s_min_ratio s_each s_cpu enc_med enc_rates o_med o_ratio o_each o_cpu
rss_send=(); rss_recv=(); nc_rss=(); s_rss=()
secure_setup
ssh_setup
wormhole_setup
enc_tools=()
[ -n "$SSH_OK" ] && enc_tools+=(scp rsync)
[ -n "$WH_OK" ] && enc_tools+=(wormhole)
for size in "${sizes[@]}"; do
  big="$work/big-$size.bin"
  make_file "$big" "$size"
  rates=(); ncrates=(); ratios=(); cpus=(); nccpus=(); ceilings=(); srates=(); sratios=(); scpus=(); orates=(); ocpus=()
  # One untimed run of each tool first: the first use of fresh memory is slower on a virtual
  # machine, and it should fall on no tool's timed run.
  velmora_run "$big"
  nc_run "$big"
  iperf_run "$size"
  SECURE=1 velmora_run "$big"
  SECURE=1 RECORDS=openssl velmora_run "$big"
  for _ in $(seq 1 "$runs"); do
    velmora_run "$big"
    nc_run "$big"
    iperf_run "$size"
    rates+=("$RATE"); ncrates+=("$NC_RATE"); cpus+=("$CPU"); nccpus+=("$NC_CPU"); ceilings+=("$CEILING")
    ratios+=("$(calc %.2f "$RATE / $NC_RATE")")
    rss_send+=("$RSS_SEND"); rss_recv+=("$RSS_RECV"); nc_rss+=("$NC_RSS")
    SECURE=1 velmora_run "$big"
    srates+=("$RATE"); sratios+=("$(calc %.2f "$RATE / $NC_RATE")"); scpus+=("$CPU")
    s_rss+=("$RSS_SEND" "$RSS_RECV")
    SECURE=1 RECORDS=openssl velmora_run "$big"
    orates+=("$RATE"); ocpus+=("$CPU")
    for tool in "${enc_tools[@]}"; do
      encrypted_run "$tool" "$big"
      enc_rates[$size,$tool]="${enc_rates[$size,$tool]:-} $ENC_RATE"
    done
  done
  s_med[$size]="$(median "${srates[@]}")"
  s_ratio[$size]="$(calc %.2f "${s_med[$size]} / $(median "${ncrates[@]}")")"
  s_min_ratio[$size]="$(minimum "${sratios[@]}")"
  s_each[$size]="${srates[*]}"
  s_cpu[$size]="$(calc %.2f "$(median "${scpus[@]}") / $(calc %.6f "$size / 1024")")"
  o_med[$size]="$(median "${orates[@]}")"
  o_ratio[$size]="$(calc %.2f "${o_med[$size]} / $(median "${ncrates[@]}")")"
  o_each[$size]="${orates[*]}"
  o_cpu[$size]="$(calc %.2f "$(median "${ocpus[@]}") / $(calc %.6f "$size / 1024")")"
  for tool in "${enc_tools[@]}"; do
    # shellcheck disable=SC2086
    enc_med[$size,$tool]="$(median ${enc_rates[$size,$tool]})"
  done
  rm -f "$big"
  gib="$(calc %.6f "$size / 1024")"
  v_med[$size]="$(median "${rates[@]}")"
  nc_med[$size]="$(median "${ncrates[@]}")"
  ceiling[$size]="$(median "${ceilings[@]}")"
  share[$size]="$(calc %.2f "${v_med[$size]} / ${ceiling[$size]}")"
  ratio_of[$size]="$(calc %.2f "${v_med[$size]} / ${nc_med[$size]}")"
  min_ratio[$size]="$(minimum "${ratios[@]}")"
  each_ratio[$size]="${ratios[*]}"
  each_rate[$size]="${rates[*]}"
  each_nc_rate[$size]="${ncrates[*]}"
  v_cpu[$size]="$(calc %.2f "$(median "${cpus[@]}") / $gib")"
  nc_cpu[$size]="$(calc %.2f "$(median "${nccpus[@]}") / $gib")"
done

# Pacing: 100000 bytes every 10 ms is a ceiling of 10 MB/s, far below what the machine moves.
paced="$work/paced.bin"
head -c 100000000 /dev/urandom >"$paced"
velmora_run "$paced" 100000 10
p_rate="$DATA_RATE"
p_dev="$(calc %.1f "($p_rate - 10.0) / 10.0 * 100")"

# The emulated 1 Gbit/s link.
link_v=""; link_nc=""; link_each=""
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && command -v tc >/dev/null; then
  link_line="$(VELMORA_BIN_DIR="$bin" unshare -n "$0" --on-emulated-link "$runs" | sed -n 's/^LINK //p' || true)"
  read -r link_v link_nc link_each <<<"$link_line" || true
fi

# A folder of 1000 files of 4 KiB, velmora-cli to velmora-cli, from the sender's start until both
# have exited.
folder="$work/folder/small"
mkdir -p "$folder"
for i in $(seq -w 1 1000); do head -c 4096 /dev/urandom >"$folder/f$i.bin"; done
folder_rates=()
for _ in $(seq 1 "$runs"); do
  rm -rf "$work/folder-in" "$work/recv.out"
  sync
  "$cli" --listen 0 --receive-dir "$work/folder-in" --timeout 900 >"$work/recv.out" 2>"$work/recv.err" &
  rpid=$!
  port=""
  for _ in $(seq 1 200); do
    port="$(sed -n 's/^listening: //p' "$work/recv.out" 2>/dev/null || true)"
    [ -n "$port" ] && break
    sleep 0.05
  done
  t0="$(now)"
  "$cli" --connect "127.0.0.1:$port" --send "$folder" --chunk 4096 --interval 1 --timeout 900 >"$work/send.out" 2>&1
  wait "$rpid"
  t1="$(now)"
  diff -r "$folder" "$work/folder-in/small" >/dev/null || { echo "MISMATCH: the folder arrived different"; exit 1; }
  folder_rates+=("$(calc %.0f "1000 / ($t1 - $t0)")")
done
folder_rate="$(median "${folder_rates[@]}")"

# Many small files and the message round trip, between two controls in one process.
small="" ; rtt=""
if [ -x "$bin/velmora-controlbench" ]; then
  small="$("$bin/velmora-controlbench" --small-files 1000 --size 4096 --interval 1)"
  rtt="$("$bin/velmora-controlbench" --round-trips 2000)"
fi
field() { sed -n "s/.*\"$2\":\([^,}]*\).*/\1/p" <<<"$1"; }

rss_s="$(maximum "${rss_send[@]}")"; rss_r="$(maximum "${rss_recv[@]}")"; rss_nc="$(maximum "${nc_rss[@]}")"
limit="$(calc %.1f "64 + 4 * $chunk / 1048576")"
row() { printf '%-52s %14s\n' "$1" "$2"; }
echo
# Whether secure mode's sending side can hand the encryption to the kernel (kTLS).
ktls="no (no tls module: secure mode encrypts in the process)"
{ grep -qw tls /proc/sys/net/ipv4/tcp_available_ulp 2>/dev/null || modinfo tls >/dev/null 2>&1; } && ktls="yes"
echo "runs per size: $runs (median shown); velmora-cli with its defaults (chunk 4 MiB, interval 1 ms); $(nproc) cores; $(uptime | sed 's/.*load average/load average/')"
echo "kernel TLS: $ktls"
row "measure" "value"
row "----------------------------------------------------" "--------------"
for size in "${sizes[@]}"; do
  row "velmora-cli, $size MiB" "${v_med[$size]} MB/s"
  row "nc, $size MiB" "${nc_med[$size]} MB/s"
  row "ratio velmora-cli / nc, $size MiB (goal >= 1.3)" "${ratio_of[$size]}"
  row "lowest ratio of one run, $size MiB (goal >= 1.1)" "${min_ratio[$size]}"
  row "  ratio of each run" "${each_ratio[$size]}"
  row "  velmora-cli MB/s of each run" "${each_rate[$size]}"
  row "  nc MB/s of each run" "${each_nc_rate[$size]}"
  row "iperf3 over 127.0.0.1, memory to memory, $size MiB" "${ceiling[$size]} MB/s"
  row "share of the ceiling, $size MiB (goal >= 0.7)" "${share[$size]}"
  row "CPU s per GiB, both sides: velmora-cli, $size MiB" "${v_cpu[$size]}"
  row "CPU s per GiB, both sides: nc, $size MiB" "${nc_cpu[$size]}"
  row "CPU velmora-cli / nc, $size MiB (goal <= 0.8)" "$(calc %.2f "${v_cpu[$size]} / ${nc_cpu[$size]}")"
done
for size in "${sizes[@]}"; do
  row "velmora-cli secure (TLS 1.3), $size MiB" "${s_med[$size]} MB/s"
  row "ratio secure / nc, $size MiB (goal >= 1.0)" "${s_ratio[$size]}"
  row "lowest ratio of one run, $size MiB (goal >= 0.8)" "${s_min_ratio[$size]}"
  row "  secure MB/s of each run" "${s_each[$size]}"
  row "CPU s per GiB, both sides: secure, $size MiB" "${s_cpu[$size]}"
  row "secure, OpenSSL's records end to end, $size MiB" "${o_med[$size]} MB/s"
  row "  ratio to nc; MB/s of each run" "${o_ratio[$size]}; ${o_each[$size]}"
  row "  CPU s per GiB, both sides" "${o_cpu[$size]}"
  fastest=0
  for tool in "${enc_tools[@]}"; do
    row "$tool, $size MiB" "${enc_med[$size,$tool]} MB/s"
    fastest="$(maximum "$fastest" "${enc_med[$size,$tool]}")"
  done
  if [ "${#enc_tools[@]}" -gt 0 ]; then
    row "secure / fastest encrypted peer, $size MiB (goal >= 4)" "$(calc %.2f "${s_med[$size]} / $fastest")"
  else
    row "encrypted peers" "skipped (no sshd or magic-wormhole here)"
  fi
done
row "peak RSS velmora-cli secure, either side (goal < 80)" "$(maximum "${s_rss[@]}") MiB"
row "peak RSS velmora-cli sender" "$rss_s MiB"
row "peak RSS velmora-cli receiver" "$rss_r MiB"
row "peak RSS nc (either side)" "$rss_nc MiB"
row "RSS bound (64 MiB + 4 x chunk)" "$limit MiB"
if [ -n "$link_v" ]; then
  row "1 Gbit/s link, 256 MiB: velmora-cli, defaults" "$link_v MB/s"
  row "1 Gbit/s link, 256 MiB: nc" "$link_nc MB/s"
  row "ratio velmora-cli / nc on the link (goal >= 0.95)" "$(calc %.2f "$link_v / $link_nc")"
  row "  MB/s of each run, velmora-cli / nc" "$link_each"
else
  row "1 Gbit/s link" "skipped (needs root, unshare and tc)"
fi
row "paced: chunk 100000, interval 10 ms, 100 MB" "$p_rate MB/s"
row "  (from the connection to the end of the send)" ""
row "pacing: off the 10 MB/s ceiling (goal within 2%)" "$p_dev %"
row "a folder of 1000 files of 4 KiB, velmora-cli (goal >= 1000)" "$folder_rate files/s"
if [ -n "$small" ]; then
  row "1000 files of 4 KiB, two controls (goal >= 3000)" "$(field "$small" files_per_second) files/s"
  row "  per file: header round trip" "$(field "$small" header_rtt_us) us"
  row "  per file: wait for the pacing tick" "$(field "$small" tick_wait_us) us"
  row "  per file: data to \"HereisIt\"" "$(field "$small" data_rtt_us) us"
  row "message round trip p50" "$(field "$rtt" p50_us) us"
  row "message round trip p99" "$(field "$rtt" p99_us) us"
fi
echo "all received files matched (cmp)"
json="{\"runs\":$runs"
for size in "${sizes[@]}"; do
  json+=",\"velmora_mbps_$size\":${v_med[$size]},\"nc_mbps_$size\":${nc_med[$size]},\"ratio_$size\":${ratio_of[$size]}"
  json+=",\"ceiling_mbps_$size\":${ceiling[$size]},\"share_of_ceiling_$size\":${share[$size]}"
  json+=",\"min_ratio_$size\":${min_ratio[$size]},\"cpu_s_per_gib_velmora_$size\":${v_cpu[$size]},\"cpu_s_per_gib_nc_$size\":${nc_cpu[$size]}"
done
json+=",\"rss_mib_sender\":$rss_s,\"rss_mib_receiver\":$rss_r,\"rss_mib_nc\":$rss_nc,\"rss_mib_bound\":$limit"
json+=",\"folder_files_per_second\":$folder_rate"
for size in "${sizes[@]}"; do
  json+=",\"secure_mbps_$size\":${s_med[$size]},\"secure_ratio_$size\":${s_ratio[$size]}"
  json+=",\"secure_min_ratio_$size\":${s_min_ratio[$size]},\"cpu_s_per_gib_secure_$size\":${s_cpu[$size]}"
  json+=",\"secure_openssl_records_mbps_$size\":${o_med[$size]},\"cpu_s_per_gib_secure_openssl_records_$size\":${o_cpu[$size]}"
  for tool in "${enc_tools[@]}"; do json+=",\"${tool}_mbps_$size\":${enc_med[$size,$tool]}"; done
done
[ -n "$link_v" ] && json+=",\"link_1gbit_mbps_velmora\":$link_v,\"link_1gbit_mbps_nc\":$link_nc"
json+=",\"paced_mbps\":$p_rate,\"paced_ceiling_mbps\":10.0,\"paced_deviation_pct\":$p_dev"
[ -n "$small" ] && json+=",\"small_files\":$small,\"message_round_trip\":$rtt"
echo "$json}"
