#!/usr/bin/env bash
# A throwaway PostgreSQL server for the store's tests: a fresh cluster in a
# temporary folder, reached only through a Unix socket in that folder.
#   pg-test-server.sh start STATE_FILE   prints nothing; writes the
#                                        connection URI and the folder
#   pg-test-server.sh crash STATE_FILE   stops it at once, as a power cut would
#   pg-test-server.sh restart STATE_FILE starts it again after a crash
#   pg-test-server.sh stop STATE_FILE    stops it and removes the folder
# Where the server's programs are not installed, start exits 0 and the
# state file says "skip:" and why, so each test reports itself skipped.
set -euo pipefail
command=$1
state=$2
pgbin=${KORVALEN_PG_BIN:-/usr/lib/postgresql/15/bin}
port=55432  # the socket lives in a private folder: no other server meets it

as_owner() {
  # initdb refuses to run as root: the cluster belongs to postgres there.
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

start_server() {
  # fsync off: a test cluster need not survive a power cut.
  as_owner "$pgbin/pg_ctl" -D "$1/data" -l "$1/log" -w -t 60 \
    -o "-k $1 -p $port -c listen_addresses='' -c fsync=off -c max_connections=60" start \
    >/dev/null || { cat "$1/log" >&2; exit 1; }
}

case $command in
  crash)
    as_owner "$pgbin/pg_ctl" -D "$(sed -n 2p "$state")/data" -m immediate stop >/dev/null
    ;;
  restart)
    start_server "$(sed -n 2p "$state")"
    ;;
  start)
    if [ ! -x "$pgbin/initdb" ] || [ ! -x "$pgbin/pg_ctl" ]; then
      echo "skip: PostgreSQL server programs not found in $pgbin (install postgresql-15)" >"$state"
      exit 0
    fi
    dir=$(mktemp -d /tmp/korvalen-pg.XXXXXX)
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    as_owner "$pgbin/initdb" -D "$dir/data" -A trust -U postgres --no-sync >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    start_server "$dir"
    printf 'postgresql://postgres@/postgres?host=%s&port=%s\n%s\n' "$dir" "$port" "$dir" >"$state"
    ;;
  stop)
    [ -f "$state" ] || exit 0
    dir=$(sed -n 2p "$state")
    [ -n "$dir" ] || { rm -f "$state"; exit 0; }
    as_owner "$pgbin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir" "$state"
    ;;
  *)
    echo "usage: $0 start|stop STATE_FILE" >&2
    exit 2
    ;;
esac
