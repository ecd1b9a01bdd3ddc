#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests, all of it in one folder: the
# cluster, its log, and the Unix socket it listens on (no TCP port, so any
# number of them run side by side). Run as root it runs the server as the
# `postgres` user, as PostgreSQL requires; run as anyone else, as them.
#
#   pg_test_server.sh up DIR      make a cluster in DIR (new or empty) and
#                                 start it; prints its URI
#   pg_test_server.sh stop DIR    stop it (fast: connections are cut), data kept
#   pg_test_server.sh start DIR   start it again
#   pg_test_server.sh uri DIR     the URI of the server in DIR
#   pg_test_server.sh down DIR    stop it and remove DIR
#
# PG_BINDIR names the folder of initdb and pg_ctl when they are not those of
# Debian's newest postgresql-NN package.
set -euo pipefail

usage() {
  echo "usage: $0 up|stop|start|uri|down DIR" >&2
  exit 2
}

[ $# -eq 2 ] || usage
action=$1
dir=$2
case "$dir" in
  /*) ;;
  *) dir="$PWD/$dir" ;;
esac
marker="$dir/.tavren-pg-test"
port=5432
database=tavren_test

find_bindir() {
  if [ -n "${PG_BINDIR:-}" ]; then
    echo "$PG_BINDIR"
    return
  fi
  local newest
  newest=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$newest" ] || [ ! -x "$newest/pg_ctl" ]; then
    echo "pg_test_server: no PostgreSQL server found (install postgresql-15, or set PG_BINDIR)" >&2
    exit 1
  fi
  echo "$newest"
}

# The server refuses to run as root.
as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then
    (cd / && runuser -u postgres -- "$@")
  else
    (cd / && "$@")
  fi
}

uri() {
  echo "postgresql:///$database?host=$dir&port=$port&user=postgres"
}

pg_ctl_start() {
  local bindir=$1
  if ! as_server_user "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start \
    >/dev/null; then
    echo "pg_test_server: the server in $dir did not start; its log ends:" >&2
    tail -n 20 "$dir/server.log" >&2 || true
    exit 1
  fi
}

require_ours() {
  if [ ! -f "$marker" ]; then
    echo "pg_test_server: $dir holds no test server of ours" >&2
    exit 1
  fi
}

case "$action" in
  up)
    bindir=$(find_bindir)
    mkdir -p "$dir"
    if [ -n "$(ls -A "$dir")" ]; then
      echo "pg_test_server: $dir is not empty" >&2
      exit 1
    fi
    touch "$marker"
    if [ "$(id -u)" -eq 0 ]; then
      if ! id postgres >/dev/null 2>&1; then
        echo "pg_test_server: there is no postgres user to run the server as (install postgresql-common)" >&2
        exit 1
      fi
      chown postgres: "$dir"
    fi
    chmod 700 "$dir"
    if ! as_server_user "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-sync \
      --no-locale >"$dir/initdb.log" 2>&1; then
      echo "pg_test_server: initdb failed:" >&2
      tail -n 20 "$dir/initdb.log" >&2
      exit 1
    fi
    # Nothing here outlives the tests: durability is traded for speed.
    cat >>"$dir/data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$dir'
port = $port
max_connections = 60
shared_buffers = 32MB
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
    pg_ctl_start "$bindir"
    if ! "$bindir/createdb" -h "$dir" -p "$port" -U postgres "$database" 2>"$dir/createdb.log"; then
      echo "pg_test_server: createdb failed:" >&2
      cat "$dir/createdb.log" >&2
      exit 1
    fi
    uri
    ;;
  stop)
    require_ours
    as_server_user "$(find_bindir)/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null
    ;;
  start)
    require_ours
    pg_ctl_start "$(find_bindir)"
    ;;
  uri)
    require_ours
    uri
    ;;
  down)
    require_ours
    if [ -f "$dir/data/postmaster.pid" ]; then
      as_server_user "$(find_bindir)/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop \
        >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    ;;
  *)
    usage
    ;;
esac
