# Sourced by the PostgreSQL scripts (test-pg.sh, test-pg-shards.sh, bench-geocode.sh): the
# extension built and installed, and throwaway clusters. A cluster lives in the caller's
# temporary folder and listens on no TCP port: only on a socket in that folder (its port
# number only names the socket file there, so it cannot meet another server). As root the
# clusters belong to the postgres user, since PostgreSQL refuses to run as root.
PG_VERSION=15
PGBIN=/usr/lib/postgresql/$PG_VERSION/bin
PG_CONFIG=$PGBIN/pg_config

# pg_require NAME: false, saying what is missing, unless the server, its headers (for the
# extension) and the contrib modules are installed.
pg_require() {
    local what
    for what in "$PGBIN/initdb:postgresql-$PG_VERSION" "$PG_CONFIG:postgresql-server-dev-$PG_VERSION" \
        "/usr/lib/postgresql/$PG_VERSION/lib/postgres_fdw.so:postgresql-$PG_VERSION"; do
        [ -e "${what%%:*}" ] ||
            { echo "$1: ${what%%:*} is missing: install ${what#*:} (scripts/setup.sh does)" >&2; return 1; }
    done
    [ -e "$("$PG_CONFIG" --includedir-server)/postgres.h" ] ||
        { echo "$1: PostgreSQL's server headers are missing: install postgresql-server-dev-$PG_VERSION" >&2; return 1; }
}

as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi; }

# pg_extension BUILD: the index library and the index (CMake), then the extension built with
# PGXS and installed into the server's folders (as root).
pg_extension() {
    local build=$1
    [ -f "$build/CMakeCache.txt" ] || cmake --preset native -B "$build" >/dev/null
    cmake --build "$build" -j2 --target lumeno_pg_index lookupd-index >/dev/null
    make -s -C pg PG_CONFIG="$PG_CONFIG" BUILD="$PWD/$build" >/dev/null
    as_root make -s -C pg PG_CONFIG="$PG_CONFIG" BUILD="$PWD/$build" install >/dev/null
}

# pg_start DIR PORT [SETTING...]: a new cluster in DIR (UTF-8, trust for local users), its
# socket in DIR's parent folder; waits (bounded) until it accepts connections.
PG_CLUSTERS=()
pg_start() {
    local dir=$1 port=$2 sock
    shift 2
    sock=$(dirname "$dir")
    as_pg "$PGBIN/initdb" -D "$dir" -A trust -U postgres -E UTF8 --locale=C.UTF-8 >/dev/null
    PG_CLUSTERS+=("$dir")
    local opts="-p $port -k $sock -c listen_addresses='' -c fsync=off -c shared_buffers=64MB -c max_connections=30"
    local s
    for s in "$@"; do opts+=" -c $s"; done
    as_pg "$PGBIN/pg_ctl" -D "$dir" -w -t 60 -l "$dir.log" -o "$opts" start >/dev/null ||
        { cat "$dir.log" >&2; return 1; }
}

# pg_stop_all: every cluster pg_start made, stopped (fast, then immediate), bounded.
pg_stop_all() {
    local dir
    for dir in "${PG_CLUSTERS[@]}"; do
        [ -f "$dir/postmaster.pid" ] || continue
        as_pg "$PGBIN/pg_ctl" -D "$dir" -m fast -w -t 30 stop >/dev/null 2>&1 ||
            as_pg "$PGBIN/pg_ctl" -D "$dir" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    done
    PG_CLUSTERS=()
}
