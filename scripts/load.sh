#!/usr/bin/env bash
# Load run against the reference server: CLIENTS client processes insert
# rows into the sample's orders table and read each back for SECONDS; then
# every insert a client logged must be in the table exactly once, no other
# row of the load may be there, and no call may have failed.  Prints the
# insert and read rates and each server's resident memory (after warm-up,
# at the end of the load and after the clients left), threads and open
# descriptors.  Exit status 0 only when everything checked out.
#
#   scripts/load.sh [SECONDS [CLIENTS]]   (default 10 s, 8 clients)
#   KL_LOAD_BUILD    build folder (default build-load)
#   KL_LOAD_BACKEND  sqlite (default) or postgres
#   KL_LOAD_SERVERS  klserver processes in front of the one database
#                    (default 1); client c talks to server c mod N, the
#                    check reads through the first
#
# On postgres the run uses the cluster KL_PG_DSN names, its clients logging
# in as KL_PG_TEST_USER with KL_PG_TEST_PASSWORD, or else a throwaway
# cluster of its own (scripts/pg_cluster.sh); the sample goes into a schema
# of its own, dropped at the end.  With two servers or more on postgres it
# then checks exclusive use across servers: an instance connected with E
# through the first server keeps out connects through the second (20007,
# in every access mode); the first server is killed (SIGKILL) and a
# connect with E through the second must succeed within 30 s, which shows
# that the dead server's lock went with it.  It prints how long that took.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
clients=${2:-8}
backend=${KL_LOAD_BACKEND:-sqlite}
servers=${KL_LOAD_SERVERS:-1}
case "$backend" in sqlite | postgres) ;; *) echo "KL_LOAD_BACKEND: sqlite or postgres"; exit 2 ;; esac
[[ $servers =~ ^[1-9][0-9]?$ ]] || { echo "KL_LOAD_SERVERS: 1 to 99"; exit 2; }

source scripts/install_missing.sh
install_missing cmake ninja-build g++ libsqlite3-dev libpq-dev libsodium-dev

build=${KL_LOAD_BUILD:-build-load}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target klserver load_client >/dev/null
klserver=$build/server/klserver
load_client=$build/bench/load_client

work=$(mktemp -d)
server_pids=()
client_pids=()
holder_pid=
PG_OWN_CLUSTER=0
schema=
cleanup() {
  local pid
  for pid in "${client_pids[@]}" $holder_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in "${server_pids[@]}"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  if [ -n "$schema" ] && [ $PG_OWN_CLUSTER = 0 ]; then
    # The cluster stays: only the run's schema goes.
    local psql
    psql=$(command -v psql || find /usr/lib/postgresql -path '*/bin/psql' 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$psql" ]; then
      PGCONNECT_TIMEOUT=10 timeout -k 5 30 "$psql" -X -q -d "$KL_PG_DSN" \
        -c "DROP SCHEMA IF EXISTS \"$schema\" CASCADE" >/dev/null 2>&1 || true
    fi
  fi
  if [ $PG_OWN_CLUSTER = 1 ]; then pg_cluster_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/logs"
if [ "$backend" = postgres ]; then
  source scripts/pg_cluster.sh
  pg_cluster_use "load run" || exit $?
  schema=kl_load_$$
  "$klserver" --backend postgres --dsn "$KL_PG_DSN" --create-sample "$schema" --rows 5000 >/dev/null
  database=$schema
  export KL_LOAD_USER=$KL_PG_TEST_USER
  # The library sends the environment file's password when dbdirect is there.
  login=$(printf 'dbdirect=load\npassword=%s' "${KL_PG_TEST_PASSWORD:-}")
else
  mkdir -p "$work/data"
  "$klserver" --create-sample "$work/data/sales.db" --rows 5000 >/dev/null
  database=sales
  login=
fi

for ((s = 0; s < servers; s++)); do
  if [ "$backend" = postgres ]; then
    storage=(--backend postgres --dsn "$KL_PG_DSN" --export "$work/export.$s")
  else
    storage=(--data "$work/data")
  fi
  "$klserver" "${storage[@]}" --address 127.0.0.1 --port 0 \
    --port-file "$work/port.$s" >"$work/server.$s.log" 2>&1 &
  server_pids[s]=$!
done
for ((s = 0; s < servers; s++)); do
  for _ in $(seq 200); do [ -s "$work/port.$s" ] && break; sleep 0.05; done
  [ -s "$work/port.$s" ] || { echo "klserver $((s + 1)) did not start"; cat "$work/server.$s.log"; exit 1; }
  # One environment file per server.
  cat >"$work/load.$s.ini" <<INI
[environment]
name=load
[include]
Node=LOAD
filename=$database
$login
[Node LOAD]
transport=tcpsockets
ipaddress=127.0.0.1
port=$(cat "$work/port.$s")
timeout=120
INI
done
printf '[ENVIRONMENT KLGLOBAL]\n' >"$work/messages.ini"
printf '[Kelora]\nKLGlobal=%s\n' "$work/messages.ini" >"$work/talvern.ini"
export KL_WINDIR="$work"

# Resident memory (kB), threads and open descriptors of each running server.
server_figures() {
  local s pid rss threads fds
  for ((s = 0; s < servers; s++)); do
    pid=${server_pids[s]}
    [ -n "$pid" ] || continue
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
    fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
    echo "server $((s + 1)) $1: rss ${rss} kB, ${threads} threads, ${fds} descriptors"
  done
}
echo "$clients clients over $servers server(s) on $backend"
server_figures "at start"

started=$(date +%s.%N)
for ((c = 1; c <= clients; c++)); do
  # Each client is bounded: its own run plus a minute for its last calls.
  timeout $((seconds + 60)) "$load_client" "$work/load.$((c % servers)).ini" "$c" "$seconds" \
    "$work/logs/log.$c" >"$work/logs/out.$c" 2>&1 &
  client_pids+=($!)
done
# After warm-up: half way through the run.
sleep "$(awk -v s="$seconds" 'BEGIN {print s / 2}')"
server_figures "after warm-up"
failed=0
for pid in "${client_pids[@]}"; do wait "$pid" || failed=1; done
client_pids=()
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN {print b - a}')
cat "$work"/logs/out.*
rows=$(cat "$work"/logs/log.* | wc -l)
server_figures "after the clients left"
awk -v n="$rows" -v t="$elapsed" -v c="$clients" \
  'BEGIN {printf "%d clients, %.1f s: %d rows inserted and read back, %.0f inserts/s and %.0f reads/s\n", c, t, n, n / t, n / t}'

timeout 120 "$load_client" "$work/load.0.ini" --verify "$work"/logs/log.* || failed=1

# Exclusive use across servers, and a dead server's lock.
if [ "$backend" = postgres ] && [ "$servers" -ge 2 ]; then
  exclusive() {
    local a=$work/load.0.ini b=$work/load.1.ini mode got
    mkfifo "$work/hold.in"
    timeout 300 "$load_client" "$a" --hold E <"$work/hold.in" >"$work/hold.out" 2>&1 &
    holder_pid=$!
    exec 7>"$work/hold.in"
    for _ in $(seq 200); do
      grep -q held "$work/hold.out" && break
      kill -0 "$holder_pid" 2>/dev/null || break
      sleep 0.05
    done
    grep -q held "$work/hold.out" || { echo "exclusive: E through server 1 failed: $(cat "$work/hold.out")"; return 1; }
    for mode in "" R E; do
      got=$(timeout 60 "$load_client" "$b" --connect "$mode" 2>/dev/null || true)
      if [ "$got" != "error 20007" ]; then
        echo "exclusive: connect '${mode:-W}' through server 2 while E is held: ${got:-no answer}, not 20007"
        return 1
      fi
    done
    echo "exclusive: E held through server 1; connects through server 2 in modes W, R, E got 20007"
    local killed
    killed=$(date +%s%N)
    kill -KILL "${server_pids[0]}"
    wait "${server_pids[0]}" 2>/dev/null || true
    server_pids[0]=
    local deadline=$((killed + 30000000000)) tries=1
    until got=$(timeout 60 "$load_client" "$b" --connect E 2>/dev/null); do
      tries=$((tries + 1))
      if [ "$(date +%s%N)" -gt $deadline ]; then
        echo "exclusive: E through server 2 still refused 30 s after server 1 was killed (${got:-no answer})"
        return 1
      fi
      sleep 0.01
    done
    echo "exclusive: server 1 killed (SIGKILL); E through server 2 connected $((($(date +%s%N) - killed) / 1000000)) ms later (try $tries)"
    exec 7>&-
    wait "$holder_pid" 2>/dev/null || true
    holder_pid=
  }
  exclusive || failed=1
fi

for ((s = 0; s < servers; s++)); do
  echo "server $((s + 1)) log (last lines):"
  tail -5 "$work/server.$s.log"
done
if [ "$failed" != 0 ]; then echo "load run FAILED"; exit 1; fi
echo "load run passed"
