#!/usr/bin/env bash
# The klserver and klcli programs together, as a person runs them: the
# server on 127.0.0.1 with an ephemeral port (found through --port-file),
# in both byte orders and in standalone mode; klcli reads, writes and
# reports a server error; SIGTERM stops the server.  klcli select aligns a
# result of up to 1000 rows by its content and prints a longer one as it
# comes, with widths from the column descriptions.
#   program_session.sh KLSERVER KLCLI WORK_DIR
set -euo pipefail
server=$1 cli=$2 work=$3
rm -rf "$work"
mkdir -p "$work/data"
"$server" --create-sample "$work/data/sales.db" --rows 1500 >/dev/null

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
  if [ $n = 1 ]; then
    out=$("$cli" select orders id quantity --limit 3) || fail "short select"
    [ "$out" = "$(printf 'id  quantity\n--  --------\n 1        14\n 2         5\n 3        11\n(3 rows)')" ] ||
      fail "short result not aligned by content: $out"
    "$cli" select orders id quantity >"$work/long" || fail "long select"
    [ "$(head -n 3 "$work/long")" = "$(printf 'id           quantity\n-----------  -----------\n          1           14')" ] ||
      fail "long result not printed with the described widths: $(head -n 3 "$work/long")"
    [ "$(wc -l <"$work/long")" = 1503 ] && [ "$(tail -n 1 "$work/long")" = "(1500 rows)" ] &&
      grep -qE '^ {7}1500 ' "$work/long" || fail "long result incomplete: $(tail -n 2 "$work/long")"
  fi
  grep -q 'no such table' "$work/err" || fail "no message ($mode): $(cat "$work/err")"

  kill -TERM "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && fail "klserver $mode did not stop on SIGTERM"
  wait "$pid" || fail "klserver $mode exit status $?"
  pid=
done
echo "program session passed"
