#!/usr/bin/env bash
# GDAL's ogrinfo, which nobody here wrote, opens the batch tool's GeoJSON and GeoJSON text
# sequence and counts one feature per output row, refused rows included.
#   ogr_reads_geojson.sh GEOCODE SAMPLE.csv
set -euo pipefail
geocode=$1 sample=$2
command -v ogrinfo >/dev/null || { echo "ogr_reads_geojson: ogrinfo is missing (scripts/setup.sh installs gdal-bin)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Exit status 1 says some rows were refused: the sample has such rows on purpose.
rows=$(("$({ "$geocode" --quiet "$sample" 2>/dev/null || [ $? -eq 1 ]; } | wc -l)" - 1))
"$geocode" --quiet --geojson -o "$tmp/points.geojson" "$sample" 2>/dev/null || [ $? -eq 1 ]
"$geocode" --quiet --geojsonseq -o "$tmp/points.geojsons" "$sample" 2>/dev/null || [ $? -eq 1 ]
for file in points.geojson points.geojsons; do
    count=$(ogrinfo -ro -so -al "$tmp/$file" | sed -n 's/^Feature Count: //p')
    driver=$(ogrinfo -ro "$tmp/$file" 2>&1 | tr '\n' ' ' | sed -n 's/.*using driver `\([^'"'"']*\)'"'"'.*/\1/p')
    echo "ogr_reads_geojson: $file: driver $driver, $count features of $rows rows"
    [ "$count" = "$rows" ] || { echo "ogr_reads_geojson: $file: expected $rows features" >&2; exit 1; }
done
# A refused row is a feature without geometry, its error kept.
ogrinfo -ro -al -where "error IS NOT NULL" "$tmp/points.geojson" | grep -q "POINT" &&
    { echo "ogr_reads_geojson: a refused row has a geometry" >&2; exit 1; }
echo "ogr_reads_geojson: passed"
