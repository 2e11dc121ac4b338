#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests.
#
#   eval "$(bash .ci/postgres.sh start)"   # exports TOVALIB_POSTGRES_URL, TOVALIB_POSTGRES_DIR
#   bash .ci/postgres.sh stop "$TOVALIB_POSTGRES_DIR"
#
# start installs PostgreSQL from the Debian archive (as root), creates a
# fresh cluster in a new directory and starts it listening on a Unix socket
# in that directory only (no TCP): a port another server holds, or a server
# left over from an earlier run, cannot get in the way,
# and running it again starts another fresh server. The cluster uses the C
# locale, so text sorts by bytes. postgres refuses to run as root, so as
# root the server runs as the user "postgres" (the package creates it).
# Only the export lines go to stdout; everything else goes to stderr.
# stop stops the server and removes its directory; stopping one that is
# not running is not an error.
set -euo pipefail

find_bin() {
  local dir
  dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$dir" ] && [ -x "$dir/initdb" ]; then echo "$dir"; fi
}

as_postgres() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

start() {
  local bin dir port=5432
  # As root (CI), always from the Debian archive, index refreshed first: a
  # no-op when the package is current, and the server CI tests against is
  # the archive's, not whatever the machine happened to carry.
  if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update >&2
    apt-get install -y postgresql >&2
  fi
  bin=$(find_bin)
  if [ -z "$bin" ]; then
    echo "postgres.sh: PostgreSQL is not installed (installing it needs root)" >&2
    exit 1
  fi
  dir=$(mktemp -d "${TMPDIR:-/tmp}/tovalib-postgres.XXXXXX")
  chmod 755 "$dir"
  if [ "$(id -u)" = 0 ]; then chown postgres: "$dir"; fi
  as_postgres "$bin/initdb" -D "$dir/data" -U postgres --auth=trust --no-locale \
    -E UTF8 >&2
  if ! as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -p $port -c listen_addresses='' -c fsync=off" start >&2; then
    cat "$dir/server.log" >&2 || true
    exit 1
  fi
  echo "export TOVALIB_POSTGRES_URL='postgresql+psycopg://postgres@/postgres?host=$dir&port=$port'"
  echo "export TOVALIB_POSTGRES_DIR='$dir'"
}

stop() {
  local dir=${1:-} bin
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  bin=$(find_bin)
  if [ -n "$bin" ] && [ -f "$dir/data/postmaster.pid" ]; then
    as_postgres "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >&2 || true
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop DIR" >&2; exit 2 ;;
esac
