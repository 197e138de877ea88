#!/bin/sh
# A throw-away PostgreSQL server for the tests: its own cluster in a folder
# of its own, reached by a Unix socket in that folder (or, with --tcp, on
# 127.0.0.1 at a free port, for the Windows build under Wine).
#
#   tools/pgtest.sh start NAME [--tcp]   makes and starts it; prints its reference
#   tools/pgtest.sh stop NAME            stops it and removes the folder
#
# The superuser is "kestrum", without a password (trust: only this machine's
# users reach the socket). Run as root, the server runs as the postgres user.
set -e
cmd=$1
name=$2
[ -n "$cmd" ] && [ -n "$name" ] || { echo "usage: $0 start|stop NAME [--tcp]" >&2; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2> /dev/null | sort -V | tail -n 1)
[ -x "$bin/pg_ctl" ] || { echo "PostgreSQL's server is not installed (Debian package postgresql)" >&2; exit 1; }
# /tmp, not TMPDIR: a socket's path must stay short.
dir=/tmp/kestrum-pg-$name
if [ "$(id -u)" = 0 ]; then as="runuser -u postgres --"; else as=; fi

stop() {
    if [ -f "$dir/data/postmaster.pid" ]; then
        $as "$bin/pg_ctl" -D "$dir/data" -w -m immediate stop > /dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

case $cmd in
stop)
    stop
    echo "stopped and removed $dir"
    ;;
start)
    stop   # what a killed run left behind
    mkdir -p "$dir/sock"
    [ -z "$as" ] || chown -R postgres "$dir"
    $as "$bin/initdb" -D "$dir/data" -A trust -U kestrum -E UTF8 --locale=C.UTF-8 > "$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    port=5432
    listen=
    if [ "$3" = --tcp ]; then listen=127.0.0.1; fi
    tries=0
    while :; do
        if [ -n "$listen" ]; then port=$(( 20000 + ($$ + tries * 7919) % 30000 )); fi
        if $as "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" \
            -o "-k $dir/sock -p $port -c listen_addresses='$listen' -c fsync=off" -w start > /dev/null; then
            break
        fi
        tries=$((tries + 1))
        # Only a taken port is worth another try.
        if [ -z "$listen" ] || [ $tries -ge 10 ]; then cat "$dir/server.log" >&2; exit 1; fi
    done
    "$bin/psql" -q -h "$dir/sock" -p $port -U kestrum -d postgres -c "CREATE DATABASE kestrum" > /dev/null
    if [ -n "$listen" ]; then
        echo "postgresql://kestrum@127.0.0.1:$port/kestrum"
    else
        echo "postgresql://kestrum@/kestrum?host=$dir/sock&port=$port"
    fi
    ;;
*)
    echo "usage: $0 start|stop NAME [--tcp]" >&2
    exit 2
    ;;
esac
