#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests and the benchmark, from Debian's postgresql package.
#   scripts/postgres.sh start DIR   initdb into DIR (as an unprivileged user: the server refuses
#                                   root), start it on a free port, Unix socket in DIR and
#                                   127.0.0.1; prints the connection text. A DIR that holds a
#                                   cluster already is started again as it was, on its port.
#   scripts/postgres.sh pause DIR   stops the server, keeping DIR (start resumes it)
#   scripts/postgres.sh stop DIR    stops it and removes DIR
# The superuser "postgres" connects without a password over the socket; over TCP it needs the
# password "velk" (tests check a wrong one). Sourced, it defines postgres_start and postgres_stop.
set -euo pipefail

postgres_bin() {
  local bin
  bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
  [ -n "$bin" ] || { echo "PostgreSQL server not found (Debian package postgresql)" >&2; return 1; }
  echo "$bin"
}

# Runs a command as the server's user (root cannot run the server).
as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

postgres_start() {
  local dir="$1" bin port
  bin="$(postgres_bin)"
  if [ -f "$dir/data/PG_VERSION" ]; then
    # A cluster made before (and stopped, or still running): the same one, on its own port, with
    # its roles and data.
    port="$(sed -n 's/^port = \([0-9]*\)$/\1/p' "$dir/data/postgresql.conf" | tail -1)"
    if ! as_server_user "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
      as_server_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null ||
          { cat "$dir/server.log" >&2; return 1; }
    fi
    echo "host=$dir port=$port user=postgres dbname=postgres"
    return 0
  fi
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  echo velk | as_server_user tee "$dir/pwfile" >/dev/null
  as_server_user "$bin/initdb" -D "$dir/data" -U postgres --pwfile="$dir/pwfile" --auth-local=trust \
      --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; return 1; }
  # In the configuration, not on the command line: a test that stops and starts the server again
  # gets the same one.
  # Prepared transactions: a test holds a row lock that outlives a restart of the server.
  printf "port = %s\nunix_socket_directories = '%s'\nlisten_addresses = '127.0.0.1'\nfsync = off\nmax_connections = 200\nmax_prepared_transactions = 4\n" \
      "$port" "$dir" | as_server_user tee -a "$dir/data/postgresql.conf" >/dev/null
  as_server_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null ||
      { cat "$dir/server.log" >&2; return 1; }
  echo "host=$dir port=$port user=postgres dbname=postgres"
}

postgres_pause() {
  local dir="$1" bin
  bin="$(postgres_bin)"
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_server_user "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  fi
}

postgres_stop() {
  local dir="$1" bin
  bin="$(postgres_bin)"
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_server_user "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) postgres_start "$2" ;;
    pause) postgres_pause "$2" ;;
    stop) postgres_stop "$2" ;;
    *) echo "usage: $0 start|pause|stop DIR" >&2; exit 2 ;;
  esac
fi
