#!/usr/bin/env bash
# The klserver and klcli programs together, as a person runs them: the
# server on 127.0.0.1 with an ephemeral port (found through --port-file),
# in both byte orders and in standalone mode; klcli reads, writes and
# reports a server error; SIGTERM stops the server.
#   program_session.sh KLSERVER KLCLI WORK_DIR
set -euo pipefail
server=$1 cli=$2 work=$3
rm -rf "$work"
mkdir -p "$work/data"
"$server" --create-sample "$work/data/sales.db" --rows 300 >/dev/null

pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; true' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf '[ENVIRONMENT KLGLOBAL]\n' >"$work/messages.ini"
printf '[Kelora]\nKLGlobal=%s\n' "$work/messages.ini" >"$work/talvern.ini"
export KL_WINDIR="$work"

n=0
for mode in "--host-type 1" "--host-type 2" "--standalone"; do
  n=$((n + 1))
  rm -f "$work/port"
  # shellcheck disable=SC2086
  "$server" --data "$work/data" --address 127.0.0.1 --port 0 --port-file "$work/port" $mode \
    >"$work/server.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  [ -s "$work/port" ] || fail "klserver $mode did not start"
  cat >"$work/env.ini" <<INI
[environment]
name=test
[include]
Node=TEST
filename=sales
[Node TEST]
transport=tcpsockets
ipaddress=127.0.0.1
port=$(cat "$work/port")
INI
  export KL_ENV="$work/env.ini"

  out=$("$cli" select customers id city --where "id = 7") || fail "select ($mode)"
  grep -qE '^ *7  ' <<<"$out" || fail "row 7 not shown ($mode): $out"
  "$cli" insert products "name=Test bolt $n" price=1.25 stock=$n >/dev/null || fail "insert ($mode)"
  out=$("$cli" select products name price stock --where "name = 'Test bolt $n'") || fail "read back ($mode)"
  grep -q "Test bolt $n *1.25 *$n" <<<"$out" || fail "row not read back ($mode): $out"
  if "$cli" select invoices >/dev/null 2>"$work/err"; then fail "unknown table accepted ($mode)"; fi
  grep -q 'no such table' "$work/err" || fail "no message ($mode): $(cat "$work/err")"

  kill -TERM "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && fail "klserver $mode did not stop on SIGTERM"
  wait "$pid" || fail "klserver $mode exit status $?"
  pid=
done
echo "program session passed"
