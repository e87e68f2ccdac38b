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
PGBIN=/usr/lib/postgresql/15/bin
PGPORT=${LUMENO_BENCH_PGPORT:-55418}
# GeoPandas 0.12 with rtree queries point by point (about 700 points/s here): it gets the first
# GP_N of the points, so that a run ends within minutes; its rate and agreement are over those.
GP_N=${LUMENO_BENCH_GEOPANDAS_POINTS:-100000}
[ "$GP_N" -gt "$N" ] && GP_N=$N

cmake --preset native >/dev/null
cmake --build "$BUILD" -j2 --target lumeno-geocode geocode_benchtool lookupd-index >/dev/null
IDX=$BUILD/service/lookupd.idx
TOOL=$BUILD/geocode/geocode_benchtool
TMP=$(mktemp -d)
chmod 755 "$TMP"
PGDATA=$TMP/pg
# PostgreSQL refuses to run as root: the cluster then belongs to the postgres user.
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
cleanup() {
    if [ -f "$PGDATA/postmaster.pid" ]; then
        as_pg "$PGBIN/pg_ctl" -D "$PGDATA" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    fi
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

# --- PostGIS 3: a private cluster, GiST index, ST_Contains --------------------------------------
chown postgres "$TMP" 2>/dev/null || true
as_pg "$PGBIN/initdb" -D "$PGDATA" -A trust -U bench >/dev/null
as_pg "$PGBIN/pg_ctl" -D "$PGDATA" -w -t 60 -l "$TMP/pg.log" \
    -o "-p $PGPORT -k $TMP -c listen_addresses='' -c shared_buffers=256MB -c work_mem=64MB" start >/dev/null
PSQL=(as_pg psql -X -q -v ON_ERROR_STOP=1 -h "$TMP" -p "$PGPORT" -U bench -d postgres)
"${PSQL[@]}" <<SQL
CREATE EXTENSION postgis;
CREATE TABLE pieces_text (district int, wkt text);
\copy pieces_text FROM '$TMP/pieces.tsv'
CREATE TABLE pieces AS SELECT district, ST_GeomFromText(wkt) AS geom FROM pieces_text;
DROP TABLE pieces_text;
CREATE INDEX ON pieces USING gist (geom);
VACUUM ANALYZE pieces;
SQL
postmaster=$(head -1 "$PGDATA/postmaster.pid")
# Peak memory of the whole cluster, sampled while the join runs.
(peak=0; while kill -0 "$postmaster" 2>/dev/null; do
    kb=$(ps -o rss= --ppid "$postmaster" -p "$postmaster" | awk '{ s += $1 } END { print s + 0 }')
    [ "$kb" -gt "$peak" ] && peak=$kb && echo "$peak" >"$TMP/pg.peak"
    sleep 0.2
done) &
sampler=$!
start=$(date +%s.%N)
# Timed: points in from TSV, the join (the first district listed wins where two overlap, as in
# the index), answers out to TSV.
"${PSQL[@]}" <<SQL
CREATE TABLE pts (id int, x double precision, y double precision);
\copy pts FROM '$TMP/plane.tsv'
\copy (SELECT p.id, min(g.district) FROM pts p LEFT JOIN pieces g ON ST_Contains(g.geom, ST_Point(p.x, p.y)) GROUP BY p.id ORDER BY p.id) TO '$TMP/postgis.tsv'
SQL
pg_secs=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
pg_mib=$(( $(cat "$TMP/pg.peak" 2>/dev/null || echo 0) / 1024 ))
as_pg "$PGBIN/pg_ctl" -D "$PGDATA" -m fast -w -t 60 stop >/dev/null
printf 'PostGIS 3 ST_Contains + GiST:             %8.2f s %10s points/s  peak %5d MiB (all server processes)\n' \
    "$pg_secs" "$(rate "$pg_secs")" "$pg_mib"

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
"$TOOL" compare "$IDX" "$TMP/plane.tsv" "$TMP/ours.csv" PostGIS="$TMP/postgis.tsv" GeoPandas="$TMP/geopandas.tsv"
