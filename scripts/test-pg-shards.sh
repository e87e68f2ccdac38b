#!/usr/bin/env bash
# The extension behind postgres_fdw: two throwaway clusters as shards and a coordinator whose
# hash-partitioned table has the shards' tables as its partitions. Because lumeno's functions
# are immutable and the shard servers declare `extensions 'lumeno'`, the lookups run on the
# shards: EXPLAIN VERBOSE must show them in each shard's Remote SQL, and every row's answer
# must equal the coordinator's own (single-server) answer for it.
# Usage: scripts/test-pg-shards.sh [BUILD_DIR] (default build/native)
# The three clusters are stopped and removed on exit, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib-pg.sh
BUILD=${1:-build/native}
POINTS=${PG_SHARDS_TEST_POINTS:-20000}
pg_require test-pg-shards

pg_extension "$BUILD"

TMP=$(mktemp -d)
chmod 755 "$TMP"
cleanup() {
    pg_stop_all
    rm -rf "$TMP"
}
trap cleanup EXIT
as_root chown postgres "$TMP" 2>/dev/null || true

COORD=55441
SHARDS=(55442 55443)
pg_start "$TMP/coordinator" "$COORD"
for port in "${SHARDS[@]}"; do
    pg_start "$TMP/shard-$port" "$port"
done
sql() { as_pg psql -X -q -v ON_ERROR_STOP=1 -h "$TMP" -p "$1" -U postgres -d postgres "${@:2}"; }

for port in "${SHARDS[@]}"; do
    sql "$port" -c "CREATE EXTENSION lumeno; CREATE TABLE pts (id int PRIMARY KEY, lon float8, lat float8, crs text)"
done
{
    echo "CREATE EXTENSION lumeno; CREATE EXTENSION postgres_fdw;"
    echo "CREATE TABLE pts (id int, lon float8, lat float8, crs text) PARTITION BY HASH (id);"
    i=0
    for port in "${SHARDS[@]}"; do
        echo "CREATE SERVER shard$i FOREIGN DATA WRAPPER postgres_fdw
                  OPTIONS (host '$TMP', port '$port', dbname 'postgres', extensions 'lumeno', use_remote_estimate 'true');
              CREATE USER MAPPING FOR CURRENT_USER SERVER shard$i OPTIONS (user 'postgres');
              CREATE FOREIGN TABLE pts_$i PARTITION OF pts FOR VALUES WITH (MODULUS ${#SHARDS[@]}, REMAINDER $i)
                  SERVER shard$i OPTIONS (table_name 'pts');"
        i=$((i + 1))
    done
    # The points: random over China and the seas around it (some near a coast, some outside
    # the region), each read as WGS-84 and as the system its row names; the same rows kept on
    # the coordinator alone.
    echo "SELECT setseed(0.25) \\g /dev/null
          CREATE TABLE pts_local AS
              SELECT i AS id, 73 + random() * 62 AS lon, 17 + random() * 37 AS lat,
                     (ARRAY['wgs84', 'gcj02', 'bd09'])[1 + i % 3] AS crs
              FROM generate_series(1, $POINTS) AS i;
          INSERT INTO pts SELECT * FROM pts_local;
          ANALYZE pts;"
} | sql "$COORD"

# The lookups inside each shard's Remote SQL: by row (grouped by the partition key, so the
# whole aggregate goes to the shards) and as a filter. (PostgreSQL 15's postgres_fdw ships a
# function with a text argument only if its collation comes from a column: the system is given
# by the default or by a column, never as a literal; see the README.)
BY_ROW="SELECT id, min(lumeno.district_code(lon, lat)) AS code, min(lumeno.district_code(lon, lat, crs)) AS in_crs
        FROM pts GROUP BY id"
# 65: Xinjiang, a sixth of the land.
FILTER="SELECT count(*) FROM pts WHERE lumeno.district_code(lon, lat) / 10000 = 65"
for q in "$BY_ROW" "$FILTER"; do
    plan=$(sql "$COORD" -At -c "SET enable_partitionwise_aggregate = on" -c "EXPLAIN (VERBOSE, COSTS OFF) $q")
    remote=$(grep -c "Remote SQL: .*lumeno\.district_code(lon, lat" <<<"$plan" || true)
    if [ "$remote" -ne "${#SHARDS[@]}" ]; then
        echo "$plan" >&2
        echo "test-pg-shards: the lookup is in the Remote SQL of $remote of ${#SHARDS[@]} shards" >&2
        exit 1
    fi
done
echo "test-pg-shards: the lookups run on both shards (EXPLAIN VERBOSE: Remote SQL)"

# Every row's answer through the shards equals the coordinator's own.
read -r rows differing filtered local_filtered named < <(sql "$COORD" -At -F ' ' <<SQL
SET enable_partitionwise_aggregate = on;
CREATE TEMP TABLE sharded AS $BY_ROW;
CREATE TEMP TABLE single AS
    SELECT id, lumeno.district_code(lon, lat) AS code, lumeno.district_code(lon, lat, crs) AS in_crs FROM pts_local;
SELECT (SELECT count(*) FROM sharded),
       (SELECT count(*) FROM ((TABLE sharded EXCEPT ALL TABLE single) UNION ALL (TABLE single EXCEPT ALL TABLE sharded)) d),
       ($FILTER),
       (SELECT count(*) FROM pts_local WHERE lumeno.district_code(lon, lat) / 10000 = 65),
       (SELECT count(code) FROM single);
SQL
)
echo "test-pg-shards: $rows rows through ${#SHARDS[@]} shards, $named with a district, $differing differing from one server's answers"
[ "$rows" -eq "$POINTS" ] || { echo "test-pg-shards: $rows rows came back, not $POINTS" >&2; exit 1; }
[ "$differing" -eq 0 ] || { echo "test-pg-shards: $differing answers differ" >&2; exit 1; }
[ "$filtered" -gt 0 ] && [ "$filtered" -eq "$local_filtered" ] || { echo "test-pg-shards: the filter found $filtered rows, one server $local_filtered" >&2; exit 1; }
[ "$named" -gt $((POINTS / 4)) ] || { echo "test-pg-shards: only $named points have a district" >&2; exit 1; }
echo "test-pg-shards: passed"
