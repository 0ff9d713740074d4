#!/usr/bin/env bash
# Runs the example programs, built against the install, against the
# installed klserver, as docs/getting-started.md does: the sample
# database, two servers on 127.0.0.1 with ephemeral ports (little-endian
# and big-endian numbers), talvern.ini naming examples/messages.ini.
# Each program must print examples/NAME.out; without an environment file
# it must print its usage with the header's version and exit with status
# 2; with the servers stopped it must report klconnect's socket error
# with the message file's text and exit with status 1.  The programs take
# turns: the environment file as their argument and the little-endian
# server, then KL_ENV and the big-endian one.  KL_EXAMPLE_RUNNER, when
# set, starts each program (wine for the Windows builds, NAME.exe; their
# line ends lose the carriage return before they are compared).
#
#   run_examples.sh KLSERVER EXAMPLES_DIR WORK_DIR PROGRAM...
set -euo pipefail
server=$1 examples=$2 work=$3
shift 3
read -ra runner <<<"${KL_EXAMPLE_RUNNER:-}"
rm -rf "$work"
mkdir -p "$work/data"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; true' EXIT

"$server" --create-sample "$work/data/sales.db" --rows 100 >/dev/null
for type in 1 2; do
  timeout -k 5 100 "$server" --data "$work/data" --address 127.0.0.1 --port 0 \
    --port-file "$work/port$type" --host-type $type >"$work/server$type.log" 2>&1 &
  pids+=($!)
done
for type in 1 2; do
  for _ in $(seq 200); do [ -s "$work/port$type" ] && break; sleep 0.05; done
  [ -s "$work/port$type" ] || fail "klserver --host-type $type did not start: $(cat "$work/server$type.log")"
  cat >"$work/env$type.ini" <<INI
[environment]
name=examples
[include]
Node=EXAMPLES
filename=sales
[Node EXAMPLES]
transport=tcpsockets
ipaddress=127.0.0.1
port=$(cat "$work/port$type")
timeout=30
INI
done
printf '[Kelora]\nKLGlobal=%s\n' "$examples/messages.ini" >"$work/talvern.ini"
export KL_WINDIR="$work"
unset KL_ENV

# start PROGRAM [ARG...]: runs it, time-bounded; its output in $work/out, $work/err.
start() {
  local status=0
  timeout -k 5 60 "${runner[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
  sed -i 's/\r$//' "$work/out" "$work/err"
  return $status
}

# run N PROGRAM: runs the program the N-th way.
run() {
  local env="$work/env$(($1 % 2 + 1)).ini"
  if [ $(($1 % 2)) = 0 ]; then
    start "$2" "$env"
  else
    KL_ENV="$env" start "$2"
  fi
}

n=0
for program in "$@"; do
  name=$(basename "$program" .exe)
  status=0
  run $n "$program" || status=$?
  [ $status = 0 ] || fail "$program exit status $status: $(cat "$work/err")"
  cmp -s "$work/out" "$examples/$name.out" ||
    fail "$program printed other rows than $examples/$name.out:
$(diff "$examples/$name.out" "$work/out")"
  status=0
  start "$program" || status=$?
  [ $status = 2 ] && grep -qE '^built with klsrv32 [0-9]+\.[0-9]+\.[0-9]+$' "$work/err" ||
    fail "$program without an environment file: exit status $status: $(cat "$work/err")"
  n=$((n + 1))
done

for pid in "${pids[@]}"; do
  kill "$pid"
  wait "$pid" || true
done
pids=()
n=0
for program in "$@"; do
  status=0
  run $n "$program" || status=$?
  [ $status = 1 ] && grep -qE '^klconnect failed: connection refused: .* \[error 18065, info 10061\]$' "$work/err" ||
    fail "$program with the server stopped: exit status $status: $(cat "$work/err")"
  n=$((n + 1))
done
echo "examples passed: $*"
