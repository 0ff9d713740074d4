#!/usr/bin/env bash
# Load run against the reference server: CLIENTS client processes insert
# rows into the sample's orders table and read each back for SECONDS; then
# every insert a client logged must be in the table exactly once, no other
# row of the load may be there, and no call may have failed.  Prints the
# insert and read rates and the server's resident memory (after warm-up,
# at the end of the load and after the clients left), threads and open
# descriptors.  Exit status 0 only when everything checked out.
#
#   scripts/load.sh [SECONDS [CLIENTS]]   (default 10 s, 8 clients)
#   KL_LOAD_BUILD   build folder (default build-load)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
clients=${2:-8}

source scripts/install_missing.sh
install_missing cmake ninja-build g++ libsqlite3-dev

build=${KL_LOAD_BUILD:-build-load}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target klserver load_client >/dev/null

work=$(mktemp -d)
server_pid=
client_pids=()
cleanup() {
  for pid in "${client_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/data" "$work/logs"
"$build/server/klserver" --create-sample "$work/data/sales.db" --rows 5000 >/dev/null
"$build/server/klserver" --data "$work/data" --address 127.0.0.1 --port 0 \
  --port-file "$work/port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { echo "klserver did not start"; exit 1; }
cat >"$work/load.ini" <<INI
[environment]
name=load
[include]
Node=LOAD
filename=sales
[Node LOAD]
transport=tcpsockets
ipaddress=127.0.0.1
port=$(cat "$work/port")
timeout=120
INI
printf '[ENVIRONMENT KLGLOBAL]\n' >"$work/messages.ini"
printf '[Kelora]\nKLGlobal=%s\n' "$work/messages.ini" >"$work/talvern.ini"
export KL_WINDIR="$work"

# Resident memory (kB), threads and open descriptors of the server.
server_figures() {
  local rss threads fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$server_pid/status")
  fds=$(find "/proc/$server_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "rss ${rss} kB, ${threads} threads, ${fds} descriptors"
}
echo "server at start: $(server_figures)"

started=$(date +%s.%N)
for ((c = 1; c <= clients; c++)); do
  # Each client is bounded: its own run plus a minute for its last calls.
  timeout $((seconds + 60)) "$build/bench/load_client" "$work/load.ini" "$c" "$seconds" \
    "$work/logs/log.$c" >"$work/logs/out.$c" 2>&1 &
  client_pids+=($!)
done
# After warm-up: half way through the run.
sleep "$(awk -v s="$seconds" 'BEGIN {print s / 2}')"
echo "server after warm-up: $(server_figures)"
failed=0
for pid in "${client_pids[@]}"; do wait "$pid" || failed=1; done
client_pids=()
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN {print b - a}')
cat "$work"/logs/out.*
rows=$(cat "$work"/logs/log.* | wc -l)
echo "server after the clients left: $(server_figures)"
awk -v n="$rows" -v t="$elapsed" -v c="$clients" \
  'BEGIN {printf "%d clients, %.1f s: %d rows inserted and read back, %.0f inserts/s and %.0f reads/s\n", c, t, n, n / t, n / t}'

timeout 120 "$build/bench/load_client" "$work/load.ini" --verify "$work"/logs/log.* || failed=1
echo "server log (last lines):"; tail -5 "$work/server.log"
if [ "$failed" != 0 ]; then echo "load run FAILED"; exit 1; fi
echo "load run passed"
