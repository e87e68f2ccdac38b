#!/usr/bin/env bash
# lumeno-geocode beside a PostGIS 3 spatial join and GeoPandas sjoin: the same points spread
# over China's land and the same district polygons (the index's own pieces, written out by
# geocode_benchtool in the index's plane), CSV/TSV in and out. Prints points/s, the ratios,
# peak memory and how often the answers agree. Figures only: nothing here passes or fails.
#   bash scripts/bench-geocode.sh [POINTS]      (default 1000000)
# The PostGIS cluster is private: made in a temporary folder, reachable only through a socket
# there on a port of its own, and stopped and removed at the end, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-1000000}
BUILD=build/native
PY=/usr/bin/python3  # Debian's, with its geopandas
# PGBIN, as_pg, pg_extension, pg_stop_all
source scripts/lib-pg.sh
PGPORT=${LUMENO_BENCH_PGPORT:-55418}
# GeoPandas 0.12 with rtree queries point by point (about 700 points/s here): it gets the first
# GP_N of the points, so that a run ends within minutes; its rate and agreement are over those.
GP_N=${LUMENO_BENCH_GEOPANDAS_POINTS:-100000}
[ "$GP_N" -gt "$N" ] && GP_N=$N

cmake --preset native >/dev/null
cmake --build "$BUILD" -j2 --target lumeno-geocode geocode_benchtool lookupd-index >/dev/null
pg_require bench-geocode
# The extension, built and installed into the server (as root).
pg_extension "$BUILD"
IDX=$BUILD/service/lookupd.idx
TOOL=$BUILD/geocode/geocode_benchtool
TMP=$(mktemp -d)
chmod 755 "$TMP"
PGDATA=$TMP/pg
cleanup() {
    pg_stop_all
    rm -rf "$TMP"
}
trap cleanup EXIT

echo "bench-geocode: $N points, $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "bench-geocode: the machine is shared; figures vary from run to run"
"$TOOL" points "$IDX" "$N" 20240601 "$TMP/points.csv" "$TMP/plane.tsv"
"$TOOL" polygons "$IDX" "$TMP/pieces.tsv" "$TMP/districts.tsv"
echo "bench-geocode: $(wc -l <"$TMP/pieces.tsv") polygons of $(wc -l <"$TMP/districts.tsv") districts"
# The files just written go to disk now, not while the first contender is timed.
sync

# Wall time in seconds and peak resident memory in MiB of one command.
measure() { /usr/bin/time -f '%e %M' -o "$TMP/time" "$@"; read -r secs kib <"$TMP/time"; mib=$((kib / 1024)); }
rate() { awk -v n="$N" -v s="$1" 'BEGIN { printf "%.0f", n / s }'; }

# --- lumeno-geocode: the index in process, 2 threads, CSV in and out ---------------------------
measure "$BUILD/geocode/lumeno-geocode" --threads 2 --quiet "$TMP/points.csv" -o "$TMP/ours.csv"
ours_secs=$secs
ours_rate=$(rate "$secs")
printf 'lumeno-geocode (in process, 2 threads): %8.2f s %10s points/s  peak %5d MiB\n' "$secs" "$ours_rate" "$mib"

# --- PostgreSQL: PostGIS 3 (GiST, ST_Contains) and the lumeno extension in one cluster ----------
# Both read the same table, already loaded (the points in degrees for the extension and in the
# index's plane for PostGIS), and write the same answer table (id, code); parallel workers as
# the planner chooses them (2 per query at most). Timed by psql's \timing.
chown postgres "$TMP" 2>/dev/null || true
as_pg "$PGBIN/initdb" -D "$PGDATA" -A trust -U bench -E UTF8 --locale=C.UTF-8 >/dev/null
PG_CLUSTERS+=("$PGDATA")
# Set for bulk work, the same for both contenders, as PostgreSQL's manual advises for populating
# a database: no WAL for a table made and filled in one transaction (wal_level minimal), and the
# leader of a parallel query left to gather and write the rows while the workers compute them.
# With the defaults, the answer table's WAL, which the leader alone writes, bounds the extension.
# LUMENO_BENCH_PG_SETTINGS= (empty) runs with PostgreSQL's defaults instead.
BULK=${LUMENO_BENCH_PG_SETTINGS-"-c wal_level=minimal -c max_wal_senders=0 -c parallel_leader_participation=off"}
as_pg "$PGBIN/pg_ctl" -D "$PGDATA" -w -t 60 -l "$TMP/pg.log" \
    -o "-p $PGPORT -k $TMP -c listen_addresses='' -c shared_buffers=256MB -c work_mem=64MB $BULK" start >/dev/null
if [ -n "$BULK" ]; then settings=${BULK//-c /}; else settings="the defaults"; fi
echo "bench-geocode: the PostgreSQL cluster's settings: $settings"
PSQL=(as_pg psql -X -q -v ON_ERROR_STOP=1 -h "$TMP" -p "$PGPORT" -U bench -d postgres)
"${PSQL[@]}" <<SQL
CREATE EXTENSION postgis;
CREATE EXTENSION lumeno;
CREATE TABLE pieces_text (district int, wkt text);
\copy pieces_text FROM '$TMP/pieces.tsv'
CREATE TABLE districts (district int, name text, code int);
\copy districts FROM '$TMP/districts.tsv'
CREATE TABLE pieces AS
    SELECT t.district, d.code, ST_GeomFromText(t.wkt) AS geom FROM pieces_text t JOIN districts d USING (district);
DROP TABLE pieces_text;
CREATE INDEX ON pieces USING gist (geom);
VACUUM ANALYZE pieces;
CREATE TABLE plane (id int, x double precision, y double precision);
\copy plane FROM '$TMP/plane.tsv'
CREATE TABLE deg (id int, lon double precision, lat double precision);
\copy deg FROM '$TMP/points.csv' WITH (FORMAT csv, HEADER)
CREATE TABLE pts AS SELECT id, x, y, lon, lat FROM plane JOIN deg USING (id);
DROP TABLE plane, deg;
VACUUM ANALYZE pts;
SQL
# timed NAME SQL: runs SQL, records its milliseconds as $TMP/NAME.ms.
timed() {
    "${PSQL[@]}" -c '\timing on' -c "$2" | awk '/^Time: / { ms = $2 } END { print ms }' >"$TMP/$1.ms"
}
secs_of() { awk '{ printf "%.3f", $1 / 1000 }' "$TMP/$1.ms"; }
declare -A rounds
postmaster=$(head -1 "$PGDATA/postmaster.pid")
# Peak memory of the whole cluster, sampled while the rounds below run (the join takes the most).
(peak=0; while kill -0 "$postmaster" 2>/dev/null; do
    kb=$(ps -o rss= --ppid "$postmaster" -p "$postmaster" | awk '{ s += $1 } END { print s + 0 }')
    [ "$kb" -gt "$peak" ] && peak=$kb && echo "$peak" >"$TMP/pg.peak"
    sleep 0.2
done) &
sampler=$!
# The machine's speed drifts over minutes: three rounds, each contender in turn, and the
# medians count. The first district listed wins where two overlap, as in the index.
for round in 1 2 3; do
    "${PSQL[@]}" -c "SET client_min_messages = warning" -c "DROP TABLE IF EXISTS ans_postgis, ans_lumeno"
    timed "postgis$round" "CREATE TABLE ans_postgis AS
        SELECT p.id, (min(ARRAY[g.district, g.code]))[2] AS code
        FROM pts p LEFT JOIN pieces g ON ST_Contains(g.geom, ST_Point(p.x, p.y)) GROUP BY p.id"
    timed "lumeno$round" "CREATE TABLE ans_lumeno AS SELECT id, lumeno.district_code(lon, lat) AS code FROM pts"
done
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
pg_mib=$(( $(cat "$TMP/pg.peak" 2>/dev/null || echo 0) / 1024 ))
for who in postgis lumeno; do
    cat "$TMP/$who"[123].ms | sort -g | sed -n 2p >"$TMP/$who.ms"
    rounds[$who]=$(for r in 1 2 3; do secs_of "$who$r"; echo -n ' '; done)
done
# Where the extension's time goes: the scan alone, the lookups without a table written, the
# table written without lookups, and the names (UTF-8) instead of the code.
timed scan "SELECT count(lon + lat) FROM pts"
timed lookups "SELECT count(lumeno.district_code(lon, lat)) FROM pts"
timed write "CREATE TABLE ans_zero AS SELECT id, 0 AS code FROM pts"
# (OFFSET 0 keeps the call once per row and in the parallel workers; a lateral call is neither.)
timed names "CREATE TABLE ans_names AS
    SELECT id, (place).* FROM (SELECT id, lumeno.district(lon, lat) AS place FROM pts OFFSET 0) s"
pg_secs=$(secs_of postgis)
ext_secs=$(secs_of lumeno)
printf 'PostGIS 3 ST_Contains + GiST:             %8.2f s %10s points/s  peak %5d MiB (all server processes; rounds %s s)\n' \
    "$pg_secs" "$(rate "$pg_secs")" "$pg_mib" "${rounds[postgis]% }"
printf 'lumeno extension, district_code:          %8.2f s %10s points/s  (same cluster, table and answer table; rounds %s s)\n' \
    "$ext_secs" "$(rate "$ext_secs")" "${rounds[lumeno]% }"
for part in scan lookups write names; do
    case $part in
        scan) what="  of which: the scan alone (no lookup)" ;;
        lookups) what="  the lookups alone (no table written)" ;;
        write) what="  the answer table alone (no lookup)" ;;
        names) what="lumeno extension, district (names)" ;;
    esac
    printf '%-41s %8.2f s %10s points/s\n' "$what:" "$(secs_of $part)" "$(rate "$(secs_of $part)")"
done
awk -v e="$(rate "$ext_secs")" -v p="$(rate "$pg_secs")" \
    'BEGIN { printf "the lumeno extension is %.1fx the PostGIS join in points/s\n", e / p }'

# Agreement: the extension with lumeno-geocode, point by point (names and code), and the codes
# of the PostGIS join with the extension's.
"${PSQL[@]}" -c "\copy (SELECT id, province, prefecture, district, code FROM ans_names ORDER BY id) TO '$TMP/ext-names.csv' WITH (FORMAT csv)"
awk -F, 'NR == FNR { if (FNR > 1) ours[$1] = $4 "," $5 "," $6 "," $7; next }
         { n++; if (($1 in ours) && ours[$1] == $2 "," $3 "," $4 "," $5) same++ }
         END { printf "agreement of the extension with lumeno-geocode: %.4f%% (%d of %d points; names and code)\n", 100 * same / n, same, n }' \
    "$TMP/ours.csv" "$TMP/ext-names.csv"
"${PSQL[@]}" -At -F ' ' -c "SELECT count(*) FILTER (WHERE a.code IS NOT DISTINCT FROM b.code), count(*),
        count(*) FILTER (WHERE a.code IS NULL)
    FROM ans_postgis a JOIN ans_lumeno b USING (id)" >"$TMP/agree"
read -r same all nulls <"$TMP/agree"
awk -v s="$same" -v a="$all" -v z="$nulls" 'BEGIN { printf "agreement of the extension with PostGIS: %.4f%% (%d of %d codes; %d points without a code in PostGIS: Taiwan, Hong Kong, Macau, or no district)\n", 100 * s / a, s, a, z }'

# --- The extension on two shards behind postgres_fdw ---------------------------------------------
# The same points hash-partitioned by id over two more clusters on this machine; the lookups
# run on the shards (the aggregate grouped by the partition key goes there whole).
SHARD_PORTS=($((PGPORT + 1)) $((PGPORT + 2)))
for port in "${SHARD_PORTS[@]}"; do
    as_pg "$PGBIN/initdb" -D "$TMP/shard-$port" -A trust -U bench -E UTF8 --locale=C.UTF-8 >/dev/null
    PG_CLUSTERS+=("$TMP/shard-$port")
    as_pg "$PGBIN/pg_ctl" -D "$TMP/shard-$port" -w -t 60 -l "$TMP/shard-$port.log" \
        -o "-p $port -k $TMP -c listen_addresses='' -c shared_buffers=128MB" start >/dev/null
    as_pg psql -X -q -v ON_ERROR_STOP=1 -h "$TMP" -p "$port" -U bench -d postgres \
        -c "CREATE EXTENSION lumeno; CREATE TABLE pts (id int, lon double precision, lat double precision)"
done
{
    echo "CREATE EXTENSION postgres_fdw;
          CREATE TABLE pts_sharded (id int, lon double precision, lat double precision) PARTITION BY HASH (id);"
    i=0
    for port in "${SHARD_PORTS[@]}"; do
        echo "CREATE SERVER shard$i FOREIGN DATA WRAPPER postgres_fdw OPTIONS (host '$TMP', port '$port',
                  dbname 'postgres', extensions 'lumeno', fetch_size '10000', batch_size '1000', async_capable 'true',
                  use_remote_estimate 'true');
              CREATE USER MAPPING FOR CURRENT_USER SERVER shard$i OPTIONS (user 'bench');
              CREATE FOREIGN TABLE pts_$i PARTITION OF pts_sharded FOR VALUES WITH (MODULUS 2, REMAINDER $i)
                  SERVER shard$i OPTIONS (table_name 'pts');"
        i=$((i + 1))
    done
    echo "INSERT INTO pts_sharded SELECT id, lon, lat FROM pts;"
} | "${PSQL[@]}"
for port in "${SHARD_PORTS[@]}"; do
    as_pg psql -X -q -h "$TMP" -p "$port" -U bench -d postgres -c "VACUUM ANALYZE pts" >/dev/null
done
"${PSQL[@]}" -c "ANALYZE pts_sharded"
SHARDED="SELECT id, min(lumeno.district_code(lon, lat)) AS code FROM pts_sharded GROUP BY id"
remote=$("${PSQL[@]}" -At -c "SET enable_partitionwise_aggregate = on" -c "EXPLAIN VERBOSE $SHARDED" | grep -c "Remote SQL: .*lumeno.district_code" || true)
"${PSQL[@]}" -c '\timing on' -c "SET enable_partitionwise_aggregate = on" -c "CREATE TABLE ans_shards AS $SHARDED" |
    awk '/^Time: / { ms = $2 } END { print ms }' >"$TMP/shards.ms"
sh_secs=$(secs_of shards)
sh_same=$("${PSQL[@]}" -At -c "SELECT count(*) FROM ans_shards s JOIN ans_lumeno l USING (id) WHERE s.code IS NOT DISTINCT FROM l.code")
printf 'lumeno extension, 2 shards (postgres_fdw): %7.2f s %10s points/s  (lookups in the Remote SQL of %d of 2 shards; %d of %d answers as on one server)\n' \
    "$sh_secs" "$(rate "$sh_secs")" "$remote" "$sh_same" "$N"
pg_stop_all
# --- GeoPandas sjoin ----------------------------------------------------------------------------
cat >"$TMP/sjoin.py" <<'PY'
import sys, time
import pandas as pd, geopandas as gpd
pieces_path, plane_path, out_path = sys.argv[1:4]
pieces = pd.read_csv(pieces_path, sep="\t", header=None, names=["district", "wkt"])
polys = gpd.GeoDataFrame(pieces[["district"]], geometry=gpd.GeoSeries.from_wkt(pieces["wkt"]))
polys.sindex  # the spatial index is built before the clock starts, as PostGIS's GiST is
start = time.time()
pts = pd.read_csv(plane_path, sep="\t", header=None, names=["id", "x", "y"])
points = gpd.GeoDataFrame(pts[["id"]], geometry=gpd.points_from_xy(pts.x, pts.y))
joined = gpd.sjoin(points, polys, how="left", predicate="within")
first = joined.groupby("id")["district"].min()
first.to_csv(out_path, sep="\t", header=False, float_format="%.0f")
print("%.2f" % (time.time() - start))
PY
head -n "$GP_N" "$TMP/plane.tsv" >"$TMP/gp-plane.tsv"
measure "$PY" "$TMP/sjoin.py" "$TMP/pieces.tsv" "$TMP/gp-plane.tsv" "$TMP/geopandas.tsv" >"$TMP/gp.out"
gp_secs=$(cat "$TMP/gp.out")
gp_rate=$(awk -v n="$GP_N" -v s="$gp_secs" 'BEGIN { printf "%.0f", n / s }')
printf 'GeoPandas sjoin (predicate within):      %8.2f s %10s points/s  peak %5d MiB (first %d points)\n' \
    "$gp_secs" "$gp_rate" "$mib" "$GP_N"

awk -v o="$ours_rate" -v p="$(rate "$pg_secs")" -v g="$gp_rate" \
    'BEGIN { printf "lumeno-geocode is %.1fx PostGIS and %.1fx GeoPandas in points/s\n", o / p, o / g }'
"$TOOL" compare "$IDX" "$TMP/plane.tsv" "$TMP/ours.csv" GeoPandas="$TMP/geopandas.tsv"
