#!/usr/bin/env bash
# Whole-table fetch benchmark (bench/fetch_bench.cpp): reads every row of
# the sample's orders table through the library and klserver on SQLite and
# on PostgreSQL, through libpq from the same PostgreSQL and through
# SQLite's C API in process, and prints medians and the ratios to libpq.
# On the first table size it also runs CLIENTS client processes of each
# path at once; on the last it times single-row inserts.  Figures only:
# it fails when a path reads other rows than the others, or a call fails.
#
#   scripts/bench.sh
#   KL_BENCH_ROWS     table sizes (default "200000 1000000")
#   KL_BENCH_RUNS     runs of each path (default 5; the concurrent runs take
#                     half as many, at least one)
#   KL_BENCH_BUDGET   seconds after which a path runs no more (default 120;
#                     its median is then of fewer runs, the output says)
#   KL_BENCH_CLIENTS  client processes at once (default 32; 0: none)
#   KL_BENCH_INSERTS  rows inserted one call each (default 20000; 0: none)
#   KL_BENCH_BATCH    records a klfetch asks for (default 10000)
#   KL_BENCH_BUILD    build folder (default build-bench, Release)
#
# PostgreSQL: the cluster KL_PG_DSN names (with KL_PG_TEST_USER and
# KL_PG_TEST_PASSWORD for klserver's logins), or else a throwaway cluster
# of its own (scripts/pg_cluster.sh: fsync and synchronous commit off).
# The samples go into schemas of their own, dropped at the end.  Nothing is
# pinned: run it under taskset to pin (the output says which).
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${KL_BENCH_ROWS:-200000 1000000}
runs=${KL_BENCH_RUNS:-5}
clients=${KL_BENCH_CLIENTS:-32}
inserts=${KL_BENCH_INSERTS:-20000}
batch=${KL_BENCH_BATCH:-10000}
budget=${KL_BENCH_BUDGET:-120}
build=${KL_BENCH_BUILD:-build-bench}

source scripts/install_missing.sh
install_missing cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev \
  libsqlite3-dev libpq-dev libsodium-dev

echo "== building klserver and fetch_bench in $build (Release) =="
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target klserver fetch_bench >/dev/null
klserver=$build/server/klserver

work=$(mktemp -d)
server_pids=()
schemas=()
PG_OWN_CLUSTER=0
psql=
cleanup() {
  local pid s
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ $PG_OWN_CLUSTER = 0 ] && [ -n "$psql" ]; then
    for s in "${schemas[@]}"; do
      PGCONNECT_TIMEOUT=10 timeout -k 5 60 "$psql" -X -q -d "$KL_PG_DSN" \
        -c "DROP SCHEMA IF EXISTS \"$s\" CASCADE" >/dev/null 2>&1 || true
    done
  fi
  if [ $PG_OWN_CLUSTER = 1 ]; then pg_cluster_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT

source scripts/pg_cluster.sh
pg_cluster_use bench || exit $?
psql=$(command -v psql || find /usr/lib/postgresql -path '*/bin/psql' 2>/dev/null | sort -V | tail -n 1)

# start_server NAME ARGS...: a klserver on 127.0.0.1, an ephemeral port,
# bounded to two hours; writes the environment file $work/NAME.ini for
# the database named later (filename=@DATABASE@).
start_server() {
  local name=$1
  shift
  timeout -k 10 7200 "$klserver" "$@" --address 127.0.0.1 --port 0 \
    --port-file "$work/$name.port" >"$work/$name.log" 2>&1 &
  server_pids+=($!)
  for _ in $(seq 400); do [ -s "$work/$name.port" ] && break; sleep 0.05; done
  [ -s "$work/$name.port" ] || { echo "klserver ($name) did not start"; cat "$work/$name.log"; exit 1; }
  cat >"$work/$name.ini" <<INI
[environment]
name=bench
[include]
Node=BENCH
filename=@DATABASE@
$login
[Node BENCH]
transport=tcpsockets
ipaddress=127.0.0.1
port=$(cat "$work/$name.port")
timeout=300
INI
}
mkdir -p "$work/data"
login=
start_server sqlite --data "$work/data"
# The library sends the environment file's password when dbdirect is there.
login=$(printf 'dbdirect=bench\npassword=%s' "${KL_PG_TEST_PASSWORD:-}")
start_server postgres --backend postgres --dsn "$KL_PG_DSN" --export "$work/export"
printf '[ENVIRONMENT KLGLOBAL]\n' >"$work/messages.ini"
printf '[Kelora]\nKLGlobal=%s\n' "$work/messages.ini" >"$work/talvern.ini"
export KL_WINDIR="$work" KL_BENCH_PG_USER="$KL_PG_TEST_USER"

echo "machine: $(nproc) CPUs online to this process of $(getconf _NPROCESSORS_ONLN), load average $(cut -d' ' -f1-3 /proc/loadavg)"
first=${sizes%% *}
last=${sizes##* }
for rows in $sizes; do
  schema=kl_bench_$$_$rows
  schemas+=("$schema")
  echo "== orders with $rows rows =="
  timeout -k 10 1800 "$klserver" --create-sample "$work/data/bench$rows.db" --rows "$rows" >/dev/null
  timeout -k 10 1800 "$klserver" --backend postgres --dsn "$KL_PG_DSN" --create-sample "$schema" \
    --rows "$rows" >/dev/null
  sed "s/@DATABASE@/bench$rows/" "$work/sqlite.ini" >"$work/sqlite.$rows.ini"
  sed "s/@DATABASE@/$schema/" "$work/postgres.ini" >"$work/postgres.$rows.ini"
  extra=()
  if [ "$rows" = "$first" ]; then extra+=(--clients "$clients"); fi
  if [ "$rows" = "$last" ]; then extra+=(--inserts "$inserts"); fi
  timeout -k 10 3600 "$build/bench/fetch_bench" "$work/sqlite.$rows.ini" "$work/postgres.$rows.ini" \
    "$KL_PG_DSN" "$schema" "$work/data/bench$rows.db" --runs "$runs" --batch "$batch" --budget "$budget" "${extra[@]}"
done
