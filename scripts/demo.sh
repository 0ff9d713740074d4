#!/usr/bin/env bash
# A short session against the reference server: builds what is needed
# (installing missing Debian packages first), writes a sample database of
# customers, products and orders, starts klserver on 127.0.0.1, writes an
# environment file and talvern.ini in a temporary folder, runs klcli
# through a few commands, and stops the server.
#
#   KL_DEMO_ROWS   orders in the sample (default 5000)
#   KL_DEMO_HOST_TYPE  1 (little-endian, default) or 2 (big-endian numbers)
#   KL_DEMO_STANDALONE=1  serve the client on its dispatcher connection
#   KL_DEMO_BACKEND=postgres  the same session with the tables in PostgreSQL:
#                  a throwaway cluster of its own (scripts/pg_cluster.sh), the
#                  sample in its schema sales, klcli logging in as the
#                  cluster's test role with the password from the
#                  environment file
set -euo pipefail
cd "$(dirname "$0")/.."

backend=${KL_DEMO_BACKEND:-sqlite}
case $backend in
  sqlite | postgres) ;;
  *) echo "KL_DEMO_BACKEND: sqlite (default) or postgres, not '$backend'" >&2; exit 2 ;;
esac

source scripts/install_missing.sh
install_missing cmake ninja-build g++ libsqlite3-dev libpq-dev libsodium-dev
if [ "$backend" = postgres ]; then
  source scripts/pg_cluster.sh
  if ! pg_install; then
    echo "PostgreSQL stage SKIPPED: $PG_SKIP_REASON"
    exit 0
  fi
fi

echo "== building klserver, klcli and the library =="
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKL_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j "$(nproc 2>/dev/null || echo 2)" --target klserver klcli >/dev/null
server=build-demo/server/klserver
cli=build-demo/tools/klcli/klcli

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "$backend" = postgres ]; then pg_cluster_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/data"
server_args=(--data "$work/data" --address 127.0.0.1 --port 0 --port-file "$work/port"
             --host-type "${KL_DEMO_HOST_TYPE:-1}")
# What the environment file adds under [include], and klcli's own options.
include_extra=
cli_args=()
if [ "$backend" = postgres ]; then
  if ! pg_cluster_start; then
    echo "PostgreSQL stage SKIPPED: $PG_SKIP_REASON"
    exit 0
  fi
  "$server" --backend postgres --dsn "$KL_PG_DSN" --create-sample sales --rows "${KL_DEMO_ROWS:-5000}"
  server_args+=(--backend postgres --dsn "$KL_PG_DSN")
  # dbdirect makes the library send the password with the connect; the
  # user name is klconnect's.
  include_extra=$'dbdirect=postgres\npassword='"$KL_PG_TEST_PASSWORD"
  cli_args=(--user "$KL_PG_TEST_USER")
else
  "$server" --create-sample "$work/data/sales.db" --rows "${KL_DEMO_ROWS:-5000}"
fi
[ "${KL_DEMO_STANDALONE:-0}" = 1 ] && server_args+=(--standalone)
"$server" "${server_args[@]}" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { echo "klserver did not start"; exit 1; }
port=$(cat "$work/port")

cat >"$work/sales.ini" <<INI
[environment]
name=demo
[include]
Node=DEMO
filename=sales${include_extra:+
$include_extra}
[Node DEMO]
transport=tcpsockets
ipaddress=127.0.0.1
port=$port
INI
# talvern.ini names a message file of our own; numbers it lacks (the
# server's) are looked up on the server.
printf '[ENVIRONMENT KLGLOBAL]\n' >"$work/messages.ini"
printf '[Kelora]\nKLGlobal=%s\n' "$work/messages.ini" >"$work/talvern.ini"
export KL_WINDIR="$work" KL_ENV="$work/sales.ini"

run() {
  local line="\$ klcli" arg
  for arg in "${cli_args[@]}" "$@"; do
    if [[ $arg == *" "* ]]; then line+=" \"$arg\""; else line+=" $arg"; fi
  done
  echo
  echo "$line"
  "$cli" "${cli_args[@]}" "$@"
}
run version
run tables
run describe orders
run select customers id name city since --where "city = 'Lisbon' AND since >= '2020-01-01'" --limit 5
run select orders id customer product quantity ordered --where "customer = 7 AND quantity >= 10"
run insert products name="Wing nut" price=0.35 stock=1200
run select products --where "name = 'Wing nut'"
echo
echo "\$ klcli ${cli_args[*]}${cli_args[*]:+ }select invoices   # a table the server does not have"
if "$cli" "${cli_args[@]}" select invoices; then echo "unexpected success"; exit 1; else echo "(exit status $?)"; fi
run error 20012
echo
if [ "$backend" = postgres ]; then
  echo "demo finished: klserver on 127.0.0.1:$port and the PostgreSQL cluster stopped"
else
  echo "demo finished: klserver on 127.0.0.1:$port stopped"
fi
