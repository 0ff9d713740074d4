#!/usr/bin/env bash
# klserver --add-user writes a users file (password from standard input,
# never stored in clear), replaces a user's password, and a server started
# with --users lets klcli in with the right password only.
#   program_users.sh KLSERVER KLCLI WORK_DIR
set -euo pipefail
server=$1 cli=$2 work=$3
rm -rf "$work"
mkdir -p "$work/data"
"$server" --create-sample "$work/data/sales.db" --rows 10 >/dev/null
users=$work/users

pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; true' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf 'Kp9xW first\n' | "$server" --add-user alice --users "$users" >/dev/null || fail "add alice"
printf 'Kp9xW bob\n' | "$server" --add-user bob --users "$users" >/dev/null || fail "add bob"
printf 'Kp9xW second\n' | "$server" --add-user alice --users "$users" >/dev/null || fail "replace alice"
if printf '\n' | "$server" --add-user carol --users "$users" 2>/dev/null; then
  fail "empty password accepted"
fi
if printf 'x\n' | "$server" --add-user 'no:colon' --users "$users" 2>/dev/null; then
  fail "name with ':' accepted"
fi
[ "$(stat -c %a "$users")" = 600 ] || fail "users file mode $(stat -c %a "$users")"
[ "$(cut -d: -f1 "$users" | tr '\n' ' ')" = "alice bob " ] || fail "users: $(cut -d: -f1 "$users")"
grep -q Kp9xW "$users" && fail "a password stored in clear"

# Exit status 1, and a server that starts after all is stopped in time.
refused() {
  local status=0
  timeout 10 "$server" --data "$work/data" --users "$1" 2>"$work/err" || status=$?
  [ "$status" = 1 ]
}
refused "$work/nosuch" || fail "missing users file accepted"
grep -q nosuch "$work/err" || fail "no reason given: $(cat "$work/err")"
# A hash made with other limits (here 256 MiB) could make one login take
# any amount of memory: the server does not start on it.
{ cat "$users"; sed -n 's/^bob:\(.*\)m=65536/eve:\1m=262144/p' "$users"; } >"$work/other"
grep -q '^eve:.*m=262144' "$work/other" || fail "no test line: $(cat "$work/other")"
refused "$work/other" || fail "a hash with other limits accepted"
grep -q 'line 3' "$work/err" || fail "no line named: $(cat "$work/err")"

"$server" --data "$work/data" --address 127.0.0.1 --port 0 --port-file "$work/port" \
  --users "$users" >"$work/server.log" 2>&1 &
pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "klserver did not start"

# klcli as alice with the environment file's password.
as_alice() {
  printf '[environment]\nname=test\n[include]\nNode=TEST\nfilename=sales\ndbdirect=x\n' >"$work/env.ini"
  printf 'password=%s\n[Node TEST]\ntransport=tcpsockets\nipaddress=127.0.0.1\nport=%s\n' \
    "$1" "$(cat "$work/port")" >>"$work/env.ini"
  KL_ENV=$work/env.ini "$cli" --user alice tables
}

export KL_WINDIR="$work" # no talvern.ini of the machine counts
out=$(as_alice 'Kp9xW second') || fail "the new password refused"
grep -q customers <<<"$out" || fail "no tables listed: $out"
if as_alice 'Kp9xW first' >/dev/null 2>"$work/err"; then fail "the old password accepted"; fi
grep -q 'error 20031' "$work/err" || fail "no refusal: $(cat "$work/err")"

kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$pid" 2>/dev/null && fail "klserver did not stop on SIGTERM"
wait "$pid" || fail "klserver exit status $?"
pid=
grep -q Kp9xW "$work/server.log" && fail "a password in the log: $(cat "$work/server.log")"
echo "program users passed"
