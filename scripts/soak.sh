#!/usr/bin/env bash
# The soak run behind `make soak`: the built server runs in a scratch directory on free ports
# with the static channels the load tool uses, quorvane-load drives it, and the server's memory
# and CPU are sampled from /proc while it works. The server is then stopped with SIGINT.
# Fails when the load run finds any fault or the server does not stop cleanly.
#
# usage: scripts/soak.sh BUILD_DIR SECONDS CLIENTS [THREADS] [REPORT_INTERVAL]
set -euo pipefail

build_dir=$(cd "${1:?build directory}" && pwd)
seconds=${2:-600}
clients=${3:-1000}
threads=${4:-2}
interval=${5:-10}

server_program="$build_dir/src/QuorvaneService"
load_program="$build_dir/tools/quorvane-load"
for program in "$server_program" "$load_program"; do
  [ -x "$program" ] || { echo "soak: $program is not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/quorvane-soak.XXXXXX)
server_pid=""
sampler_pid=""
cleanup() {
  [ -n "$sampler_pid" ] && kill "$sampler_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# True when a TCP or UDP socket on this machine is bound to the port.
port_in_use() {
  local hex
  hex=$(printf ':%04X ' "$1")
  cat /proc/net/tcp /proc/net/udp /proc/net/tcp6 /proc/net/udp6 2>/dev/null |
    awk '{print $2}' | grep -q -- "$hex"
}

# Two neighbouring free ports below the range the kernel hands out to outgoing connections (so
# no client elsewhere on the machine takes one meanwhile); sets host_port and sound_port.
pick_ports() {
  local ephemeral span candidate
  ephemeral=$(awk '{print $1}' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  span=$((ephemeral - 10002))
  [ "$span" -gt 1000 ] || span=20000
  for _ in $(seq 1 200); do
    candidate=$((10000 + (RANDOM * 32768 + RANDOM) % span))
    if ! port_in_use "$candidate" && ! port_in_use $((candidate + 1)); then
      host_port=$candidate
      sound_port=$((candidate + 1))
      return 0
    fi
  done
  return 1
}

channels=""
for k in 0 1 2 3 4 5 6 7 8 9; do
  channels+="<channel><name>$k</name></channel>"
done
# Every defence keeps its default: quorvane-load spreads its clients over 250 addresses (4 each
# at the default 1000 clients), each acting about once a second, about two thirds of the actions
# lines that reach other users, so a connection stays within its 2 such lines a second and an
# address within its 10, logins come a few a second, voice a few datagrams a second, and nobody
# waits long for a login or guesses a password. (From about 3,800 clients on, the addresses'
# message limits would slow the clients.)
write_settings() {
  cat > "$work/QuorvaneService.xml" <<EOF
<?xml version="1.0" ?><quorvane version="1.1"><hosting>
<server-name>Quorvane Soak</server-name><server-password></server-password>
<hostport>$host_port</hostport><soundport>$sound_port</soundport>
<allow-channel-creation>true</allow-channel-creation><allow-forwarding>true</allow-forwarding>
<allow-operators>true</allow-operators><server-logging>false</server-logging>
<voice-address-check>true</voice-address-check>
<static-channels><channel><name>soak</name>$channels</channel></static-channels>
</hosting></quorvane>
EOF
}

# Starts the server and waits until its port shows in state 0A (LISTEN) in /proc/net/tcp.
# A server that does not listen in time (another program took a port first) is stopped.
start_server() {
  write_settings
  (cd "$work" && exec ./QuorvaneService -d > console.txt 2>&1) &
  server_pid=$!
  for _ in $(seq 1 100); do
    if awk '{print $2, $4}' /proc/net/tcp | grep -q -- "$(printf ':%04X 0A' "$host_port")"; then
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  return 1
}

# The settings file lies beside the program, so the program runs from a copy.
cp "$server_program" "$work/QuorvaneService"
started=false
for _ in 1 2 3; do
  pick_ports || { echo "soak: no free ports found" >&2; exit 1; }
  if start_server; then
    started=true
    break
  fi
done
if ! $started; then
  echo "soak: the server did not start" >&2
  cat "$work/console.txt" >&2 || true
  exit 1
fi

ticks=$(getconf CLK_TCK)
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

rss_idle=$(rss_kib)
cpu_start=$(cpu_ticks)
start_time=$(date +%s.%N)
echo "soak: server pid $server_pid on ports $host_port/$sound_port," \
  "memory $(mib "$rss_idle") MiB idle"

# One sample per report interval while the load runs: "seconds rss_kib cpu_ticks".
(
  while kill -0 "$server_pid" 2>/dev/null; do
    sleep "$interval"
    now=$(date +%s.%N)
    rss=$(rss_kib) cpu=$(cpu_ticks)
    echo "$now $rss $cpu" >> "$work/samples.txt"
    awk -v t="$now" -v s="$start_time" -v r="$rss" -v c="$cpu" -v c0="$cpu_start" \
      -v hz="$ticks" 'BEGIN {
        printf "[%6.0f s] server: memory %.1f MiB, cpu %.1f s\n", t - s, r / 1024, (c - c0) / hz
      }'
  done
) &
sampler_pid=$!

load_status=0
"$load_program" --port "$host_port" --sound-port "$sound_port" --clients "$clients" \
  --seconds "$seconds" --threads "$threads" --report-interval "$interval" || load_status=$?

end_time=$(date +%s.%N)
cpu_end=$(cpu_ticks)
rss_after=$(rss_kib)
kill "$sampler_pid" 2>/dev/null || true
wait "$sampler_pid" 2>/dev/null || true
sampler_pid=""

# Memory under load: the first sample after the logins and the last one before the drain.
rss_first=$(awk 'NR <= 2 {v = $2} END {print v}' "$work/samples.txt" 2>/dev/null)
rss_last=$(tail -n 2 "$work/samples.txt" 2>/dev/null | head -n 1 | awk '{print $2}')
rss_peak=$(awk 'BEGIN {m = 0} $2 > m {m = $2} END {print m}' "$work/samples.txt" 2>/dev/null)

kill -INT "$server_pid"
server_status=0
wait "$server_pid" || server_status=$?
server_pid=""

echo
echo "server memory: idle $(mib "$rss_idle") MiB, under load first $(mib "${rss_first:-0}") MiB," \
  "last $(mib "${rss_last:-0}") MiB, peak $(mib "${rss_peak:-0}") MiB," \
  "after the clients left $(mib "$rss_after") MiB"
awk -v c0="$cpu_start" -v c1="$cpu_end" -v hz="$ticks" -v t0="$start_time" -v t1="$end_time" \
  'BEGIN {
    cpu = (c1 - c0) / hz
    wall = t1 - t0
    printf "server cpu: %.1f s in %.0f s (%.1f %% of one core)\n", cpu, wall, 100 * cpu / wall
  }'

# The program's exit code is 1 when the console run ended normally.
if [ "$server_status" -ne 1 ]; then
  echo "soak: the server ended with exit code $server_status" >&2
  tail -n 20 "$work/console.txt" >&2 || true
  exit 1
fi
if [ "$load_status" -ne 0 ]; then
  echo "soak: FAILED (quorvane-load exit code $load_status)" >&2
  exit 1
fi
echo "soak: passed"
