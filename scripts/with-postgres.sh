#!/usr/bin/env bash
# Runs a command beside a throw-away PostgreSQL 15 cluster.
#
#   scripts/with-postgres.sh <command...>
#
# Starts a fresh cluster in a temporary folder, listening on 127.0.0.1 on a
# free port (its Unix socket lives in the same temporary folder), creates the
# archive role "F257" and the database "ARCDB2" owned by it, and registers an
# ODBC driver named "PostgreSQL" in a private odbcinst.ini (the machine's
# /etc/odbcinst.ini is left alone). The command then runs with:
#   PGPORT               the cluster's port (psqlODBC and libpq take it from here)
#   ODBCSYSINI           the folder of the private odbcinst.ini
#   VELUNOR_TEST_PG=1    tells the tests that a server is there
#   VELUNOR_PG_SERVER    the value of `Server` that reaches it (127.0.0.1)
# VELUNOR_PG_BIN names another folder of PostgreSQL binaries.
# The cluster is stopped and the folder removed however the command ends.
# The exit status is the command's.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 <command...>" >&2
  exit 2
fi

pgbin=${VELUNOR_PG_BIN:-/usr/lib/postgresql/15/bin}
for tool in initdb pg_ctl psql; do
  if [ ! -x "$pgbin/$tool" ]; then
    echo "with-postgres: $pgbin/$tool not found (package postgresql-15)" >&2
    exit 1
  fi
done

# psqlODBC's ANSI driver: the values travel as the bytes they are (UTF-8).
driver_lib=""
for candidate in \
    "/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/odbc/psqlodbca.so" \
    /usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so \
    /usr/lib/aarch64-linux-gnu/odbc/psqlodbca.so \
    /usr/lib/odbc/psqlodbca.so; do
  if [ -f "$candidate" ]; then driver_lib=$candidate; break; fi
done
if [ -z "$driver_lib" ]; then
  echo "with-postgres: psqlodbca.so not found (package odbc-postgresql)" >&2
  exit 1
fi

# As root, the server has to run as the postgres account (initdb refuses root).
as_pg=()
if [ "$(id -u)" -eq 0 ]; then
  if ! id postgres >/dev/null 2>&1; then
    echo "with-postgres: running as root needs the postgres account" >&2
    exit 1
  fi
  as_pg=(runuser -u postgres --)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velunor-pg.XXXXXXXX")
data="$work/data"
sock="$work/sock"
odbc="$work/odbc"
logs="$work/log"
started=0

cleanup() {
  local status=$?
  if [ "$started" -eq 1 ]; then
    "${as_pg[@]}" "$pgbin/pg_ctl" -D "$data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$data" "$sock" "$odbc" "$logs"
chmod 755 "$work"
if [ ${#as_pg[@]} -gt 0 ]; then
  chown postgres: "$data" "$sock" "$logs"
fi
chmod 700 "$data"

# Local (socket) connections are trusted for the set-up below; TCP needs the
# password, so a wrong one really fails.
"${as_pg[@]}" "$pgbin/initdb" -D "$data" -U postgres -E UTF8 --locale=C \
  --auth-local=trust --auth-host=scram-sha-256 --no-sync >"$work/initdb.log" 2>&1 || {
  cat "$work/initdb.log" >&2
  echo "with-postgres: initdb failed" >&2
  exit 1
}

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()'
}

# A free port can be taken by someone else between the probe and the start:
# try a few times.
port=""
for attempt in 1 2 3 4 5; do
  candidate=$(free_port)
  if "${as_pg[@]}" "$pgbin/pg_ctl" -D "$data" -w -t 60 -l "$logs/server.log" \
       -o "-p $candidate -k $sock -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null 2>&1; then
    port=$candidate
    started=1
    break
  fi
  echo "with-postgres: start on port $candidate failed (attempt $attempt)" >&2
done
if [ -z "$port" ]; then
  cat "$logs/server.log" >&2 || true
  echo "with-postgres: the server did not start" >&2
  exit 1
fi

"$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$sock" -p "$port" -U postgres -d postgres >/dev/null <<'SQL'
CREATE ROLE "F257" LOGIN PASSWORD 'MoNpLq482';
CREATE DATABASE "ARCDB2" OWNER "F257" ENCODING 'UTF8' TEMPLATE template0;
SQL

cat >"$odbc/odbcinst.ini" <<EOF
[PostgreSQL]
Description=PostgreSQL (psqlODBC) for the tests
Driver=$driver_lib
Debug=0
CommLog=0
EOF
# An empty odbc.ini keeps a user's own data sources out of the run.
: >"$odbc/odbc.ini"

export PGPORT=$port
export ODBCSYSINI=$odbc
export ODBCINI=$odbc/odbc.ini
export VELUNOR_TEST_PG=1
export VELUNOR_PG_SERVER=127.0.0.1
unset PGHOST PGHOSTADDR PGUSER PGPASSWORD PGDATABASE PGOPTIONS PGSERVICE || true

echo "with-postgres: PostgreSQL on 127.0.0.1:$port, ODBC driver \"PostgreSQL\" registered privately"
set +e
"$@"
status=$?
set -e
exit "$status"
