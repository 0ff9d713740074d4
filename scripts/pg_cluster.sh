# shellcheck shell=bash
# PG_SKIP_REASON and the exported variables are for the callers; the
# single-quoted bash -c bodies expand in the child shell.
# shellcheck disable=SC2034,SC2016
#
# Sourced by the scripts: a throwaway PostgreSQL cluster for tests and the
# demo.  Never touches a cluster of the system's own (Debian's "main" on
# port 5432 stays as it is, running or not).
#
#   pg_install        installs Debian's postgresql and libpq-dev when missing,
#                     without letting the package create a default cluster;
#                     non-zero with the reason in PG_SKIP_REASON when it cannot
#   pg_cluster_start  initdb into a temporary folder, start on 127.0.0.1 on a
#                     free port, create the test role, export KL_PG_DSN,
#                     KL_PG_TEST_USER and KL_PG_TEST_PASSWORD; non-zero with
#                     the reason in PG_SKIP_REASON when it cannot
#   pg_cluster_stop   stops that cluster by its data folder and removes the
#                     folder; safe to call twice (meant for an EXIT trap)
#   pg_cluster_use WHO  the cluster KL_PG_DSN names, or else a throwaway one
#                     started here (then PG_OWN_CLUSTER=1, for the caller's
#                     trap); non-zero with a line naming WHO when no cluster
#                     could start (1) or KL_PG_TEST_USER is missing (2)
#
# The test role (KL_PG_TEST_USER) logs in with its password over SCRAM and
# may read and write every table (pg_read_all_data, pg_write_all_data) but
# creates none; the administrative login (KL_PG_DSN's user postgres) is
# trusted on 127.0.0.1.  KL_PG_FAIL_INSTALL=1 makes pg_install fail, to try
# a caller's skipped path on a machine that has everything.
#
# Every command is bounded in time; a start that fails leaves nothing
# running.

_pg_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/install_missing.sh
source "$_pg_scripts/install_missing.sh"

PG_SKIP_REASON=
PG_CLUSTER_DIR=   # the temporary folder: data/, the socket, server.log
PG_CLUSTER_BIN=
PG_CLUSTER_PORT=
PG_TEST_ROLE=kltest

# Runs a command as the cluster's owner: the postgres user when we are root
# (initdb and pg_ctl refuse to run as root), else ourselves.
_pg_as() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

pg_install() {
  PG_SKIP_REASON=
  # For trying the callers' skipped path on a machine that has everything.
  if [ "${KL_PG_FAIL_INSTALL:-0}" = 1 ]; then
    PG_SKIP_REASON="KL_PG_FAIL_INSTALL=1 (install failure simulated)"
    return 1
  fi
  local missing=() p
  for p in postgresql libpq-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} = 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    PG_SKIP_REASON="${missing[*]} not installed and not running as root"
    return 1
  fi
  # Installing the server package would otherwise create the cluster
  # "main" and may start it on port 5432.  Other lines of the file stay.
  local conf=/etc/postgresql-common/createcluster.conf
  if ! { mkdir -p "${conf%/*}" && touch "$conf"; }; then
    PG_SKIP_REASON="cannot write $conf"
    return 1
  fi
  if grep -Eq '^[[:space:]]*create_main_cluster[[:space:]]*=' "$conf"; then
    sed -i -E 's/^[[:space:]]*create_main_cluster[[:space:]]*=.*/create_main_cluster = false/' "$conf"
  else
    # (after a newline of its own when the file's last line has none)
    if [ -n "$(tail -c 1 "$conf")" ]; then echo >>"$conf"; fi
    echo "create_main_cluster = false" >>"$conf"
  fi
  # The package's own copy of the file must not replace ours.
  if ! UCF_FORCE_CONFFOLD=1 timeout -k 10 900 \
      bash -c 'source "$1"; shift; install_missing "$@"' _ "$_pg_scripts/install_missing.sh" "${missing[@]}"; then
    PG_SKIP_REASON="installing ${missing[*]} failed"
    return 1
  fi
  for p in "${missing[@]}"; do
    if ! dpkg -s "$p" >/dev/null 2>&1; then
      PG_SKIP_REASON="$p still not installed after apt-get"
      return 1
    fi
  done
}

# A port nobody listens on now, as the kernel hands them out.
_pg_free_port() {
  timeout 10 python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()'
}

_pg_fail() {
  PG_SKIP_REASON=$1
  if [ -n "$PG_CLUSTER_DIR" ] && [ -s "$PG_CLUSTER_DIR/server.log" ]; then
    echo "-- tail of the PostgreSQL log:" >&2
    tail -n 20 "$PG_CLUSTER_DIR/server.log" >&2
  fi
  pg_cluster_stop
  return 1
}

pg_cluster_start() {
  PG_SKIP_REASON=
  if [ -n "$PG_CLUSTER_DIR" ]; then
    PG_SKIP_REASON="a cluster is running already ($PG_CLUSTER_DIR)"
    return 1
  fi
  PG_CLUSTER_BIN=$(find /usr/lib/postgresql -mindepth 2 -maxdepth 2 -name bin -type d 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$PG_CLUSTER_BIN" ] || [ ! -x "$PG_CLUSTER_BIN/initdb" ]; then
    PG_SKIP_REASON="no /usr/lib/postgresql/<version>/bin/initdb"
    return 1
  fi
  local root=0
  if [ "$(id -u)" = 0 ]; then
    root=1
    if ! id postgres >/dev/null 2>&1; then
      PG_SKIP_REASON="no postgres user to own the cluster"
      return 1
    fi
  fi
  command -v python3 >/dev/null || { PG_SKIP_REASON="python3 is needed to find a free port"; return 1; }

  # Under /tmp, not $TMPDIR: the postgres user must reach it, and the
  # socket's path must stay short.
  PG_CLUSTER_DIR=$(mktemp -d /tmp/klpg.XXXXXXXX) || { PG_CLUSTER_DIR=; _pg_fail "mktemp failed"; return 1; }
  if [ $root = 1 ]; then
    chown postgres:postgres "$PG_CLUSTER_DIR" || { _pg_fail "cannot give $PG_CLUSTER_DIR to postgres"; return 1; }
  fi
  local data=$PG_CLUSTER_DIR/data

  # Locale C: text sorts by its bytes (for UTF-8, by code point), as
  # SQLite's default collation does, and case folding is ASCII-only, as in
  # SQLite's upper(), lower() and LIKE; it needs no locale installed on
  # the system, and server messages stay untranslated.
  if ! (cd "$PG_CLUSTER_DIR" && _pg_as timeout -k 5 120 "$PG_CLUSTER_BIN/initdb" -D "$data" \
          -A trust -U postgres --locale=C -E UTF8 --no-instructions \
          >"$PG_CLUSTER_DIR/initdb.log" 2>&1); then
    cat "$PG_CLUSTER_DIR/initdb.log" >&2
    _pg_fail "initdb failed"
    return 1
  fi

  # Settings for a throwaway test cluster: loopback only, the socket in our
  # folder, room for every test's connections.  fsync, synchronous commit
  # and full-page writes are off: a crash loses the folder anyway, and the
  # tests run faster.
  if ! _pg_as bash -c 'cat >>"$1"' _ "$data/postgresql.conf" <<CONF

# throwaway test cluster (scripts/pg_cluster.sh)
listen_addresses = '127.0.0.1'
port = 0
unix_socket_directories = '$PG_CLUSTER_DIR'
max_connections = 400
shared_buffers = 16MB
password_encryption = 'scram-sha-256'
fsync = off
synchronous_commit = off
full_page_writes = off
huge_pages = off
CONF
  then
    _pg_fail "cannot write postgresql.conf"
    return 1
  fi
  # The test role logs in with its password (SCRAM); that line comes first,
  # so the trust lines below never apply to it.
  if ! _pg_as bash -c 'cat >"$1"' _ "$data/pg_hba.conf" <<HBA
host  all  $PG_TEST_ROLE  127.0.0.1/32  scram-sha-256
host  all  all          127.0.0.1/32  trust
local all  postgres                   trust
HBA
  then
    _pg_fail "cannot write pg_hba.conf"
    return 1
  fi

  # A free port can be taken between asking and binding: a few tries.
  local started=0 _
  for _ in 1 2 3; do
    PG_CLUSTER_PORT=$(_pg_free_port) || { _pg_fail "no free port"; return 1; }
    [ "$PG_CLUSTER_PORT" = 5432 ] && continue
    _pg_as sed -i -E "s/^port = [0-9]+\$/port = $PG_CLUSTER_PORT/" "$data/postgresql.conf"
    if (cd "$PG_CLUSTER_DIR" && _pg_as timeout -k 5 90 "$PG_CLUSTER_BIN/pg_ctl" -D "$data" \
          -l "$PG_CLUSTER_DIR/server.log" -w -t 60 start >/dev/null 2>&1); then
      started=1
      break
    fi
    # Whatever a failed start left behind goes before the next try.
    _pg_postmaster_stop
  done
  [ $started = 1 ] || { _pg_fail "the cluster did not start (pg_ctl start, 3 tries)"; return 1; }

  local password
  password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  export KL_PG_DSN="host=127.0.0.1 port=$PG_CLUSTER_PORT dbname=postgres user=postgres"
  if ! PGCONNECT_TIMEOUT=10 timeout -k 5 30 "$PG_CLUSTER_BIN/psql" -X -q -v ON_ERROR_STOP=1 \
        -d "$KL_PG_DSN" \
        -c "CREATE ROLE $PG_TEST_ROLE LOGIN PASSWORD '$password'" \
        -c "GRANT pg_read_all_data, pg_write_all_data TO $PG_TEST_ROLE" >/dev/null; then
    _pg_fail "cannot create the test role"
    return 1
  fi
  export KL_PG_TEST_USER=$PG_TEST_ROLE KL_PG_TEST_PASSWORD=$password
  echo "PostgreSQL $("$PG_CLUSTER_BIN/postgres" -V | awk '{print $3}') cluster on 127.0.0.1:$PG_CLUSTER_PORT in $PG_CLUSTER_DIR"
}

# Stops the postmaster of our data folder, if one runs: pg_ctl by the data
# folder, then, should that fail, the pid its postmaster.pid names, when
# that process is a postgres of this folder.
_pg_postmaster_stop() {
  local data=$PG_CLUSTER_DIR/data pid
  [ -f "$data/postmaster.pid" ] || return 0
  (cd "$PG_CLUSTER_DIR" && _pg_as timeout -k 5 40 "$PG_CLUSTER_BIN/pg_ctl" -D "$data" \
      stop -m immediate -w -t 30 >/dev/null 2>&1) || true
  [ -f "$data/postmaster.pid" ] || return 0
  pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null)
  if [[ $pid =~ ^[0-9]+$ ]] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$data"; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

pg_cluster_stop() {
  [ -n "$PG_CLUSTER_DIR" ] || return 0
  if [ -d "$PG_CLUSTER_DIR" ]; then
    _pg_postmaster_stop
    rm -rf "$PG_CLUSTER_DIR"
  fi
  PG_CLUSTER_DIR=
  unset KL_PG_DSN KL_PG_TEST_USER KL_PG_TEST_PASSWORD
}

pg_cluster_use() {
  if [ -z "${KL_PG_DSN:-}" ]; then
    PG_OWN_CLUSTER=1
    if ! pg_install || ! pg_cluster_start; then
      echo "$1: no PostgreSQL cluster: $PG_SKIP_REASON"
      return 1
    fi
  fi
  if [ -z "${KL_PG_TEST_USER:-}" ]; then
    echo "$1: KL_PG_DSN needs KL_PG_TEST_USER (and KL_PG_TEST_PASSWORD) for the logins"
    return 2
  fi
}
