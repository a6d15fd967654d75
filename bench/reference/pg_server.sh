#!/usr/bin/env bash
# A throwaway PostgreSQL for the import benchmark, kept in the benchmark's work folder so
# that its disk is the one every other figure comes from.
#
#   PGBENCH_ROOT=DIR PGBENCH_PORT=PORT pg_server.sh start|stop
#
# start: a fresh cluster in DIR/data (DIR made if missing), superuser postgres with trust,
#        listening on 127.0.0.1:PORT only, its socket in DIR, its log in DIR/server.log;
#        returns once it takes connections. The server's own defaults otherwise
#        (fsync on, synchronous_commit on).
# stop:  stops it at once (nothing in it is kept) and leaves DIR to the caller.
# halt, resume, restart: the same cluster stopped as an administrator stops it (fast: open
#        sessions are ended, the data kept), started again, or both; each returns once done.
# PostgreSQL 15 when installed, else the newest one; PGBIN=/path/to/bin overrides.
# As root, the server runs as the user postgres (through runuser), as scripts/pg-throwaway does;
# then DIR and the folders above it must be open to postgres.
set -euo pipefail
root=${PGBENCH_ROOT:?PGBENCH_ROOT names the folder of the cluster}
port=${PGBENCH_PORT:?PGBENCH_PORT names the port}
if [[ -z "${PGBIN:-}" ]]; then
    if [[ -x /usr/lib/postgresql/15/bin/initdb ]]; then
        PGBIN=/usr/lib/postgresql/15/bin
    else
        PGBIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
    fi
fi
[[ -x "${PGBIN:-}/initdb" ]] || { echo "pg_server.sh: no PostgreSQL server installed (scripts/install-deps)" >&2; exit 1; }

as_pg() {
    if [[ $(id -u) -eq 0 ]]; then runuser -u postgres -- "$@"; else "$@"; fi
}

serve() {
    if ! as_pg "$PGBIN/pg_ctl" -D "$root/data" -l "$root/server.log" -w -t 60 \
        -o "-p $port -k $root -c listen_addresses=127.0.0.1" start >/dev/null; then
        echo "pg_server.sh: the server did not start:" >&2
        tail -20 "$root/server.log" >&2
        exit 1
    fi
}

case "${1:-}" in
start)
    [[ -e "$root/data" ]] && { echo "pg_server.sh: $root/data is there already; stop it first" >&2; exit 1; }
    mkdir -p "$root"
    chmod 755 "$root"
    if [[ $(id -u) -eq 0 ]]; then
        chown postgres:postgres "$root"
        as_pg test -w "$root" || { echo "pg_server.sh: the user postgres cannot reach $root" >&2; exit 1; }
    fi
    if ! as_pg "$PGBIN/initdb" -D "$root/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 --no-instructions \
        >"$root/initdb.log" 2>&1; then
        echo "pg_server.sh: initdb failed:" >&2
        tail -20 "$root/initdb.log" >&2
        exit 1
    fi
    serve
    ;;
resume)
    serve
    ;;
halt)
    as_pg "$PGBIN/pg_ctl" -D "$root/data" -m fast -w -t 60 stop >/dev/null
    ;;
restart)
    as_pg "$PGBIN/pg_ctl" -D "$root/data" -m fast -w -t 60 stop >/dev/null
    serve
    ;;
stop)
    [[ -d "$root/data" ]] || exit 0
    as_pg "$PGBIN/pg_ctl" -D "$root/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: PGBENCH_ROOT=DIR PGBENCH_PORT=PORT $0 start|stop|halt|resume|restart" >&2
    exit 2
    ;;
esac
