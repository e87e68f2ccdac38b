#!/usr/bin/env bash
# The PostgreSQL extension: built with PGXS, installed into the server (as root, through sudo
# otherwise), and its pg_regress suite (pg/sql, pg/expected) run by `make installcheck` against
# a throwaway cluster made here, with damaged copies of the index for the error cases.
# Usage: scripts/test-pg.sh [BUILD_DIR] (default build/native)
# The cluster is stopped and removed on exit, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib-pg.sh
BUILD=${1:-build/native}
pg_require test-pg

pg_extension "$BUILD"

TMP=$(mktemp -d)
chmod 755 "$TMP"
cleanup() {
    pg_stop_all
    rm -rf "$TMP"
}
trap cleanup EXIT
as_root chown postgres "$TMP" 2>/dev/null || true

# Damaged copies of the index: its header, its size, its tables, its pieces' geometry.
mkdir "$TMP/damaged"
python3 - "$BUILD/service/lookupd.idx" "$TMP/damaged" <<'PY'
import struct, sys
src, out = sys.argv[1:3]
data = open(src, "rb").read()
def write(name, b):
    open(f"{out}/{name}", "wb").write(b)
write("good.idx", data)
write("bad-magic.idx", b"X" + data[1:])
write("truncated.idx", data[: len(data) // 2])
bad = bytearray(data)
bad[72 + 8] ^= 0xFF  # the first table after the 72-byte header: the tables' checksum fails
write("bad-table.idx", bytes(bad))
# The geometry stream runs up to the file's closing checksum; its middle is overwritten, so
# the pieces a lookup decodes there fail their own checksums.
stream = struct.unpack_from("<Q", data, 32)[0]
end = len(data) - 8
bad = bytearray(data)
lo, hi = end - stream + stream // 20, end - stream // 20
bad[lo:hi] = b"\x5a" * (hi - lo)
write("bad-pieces.idx", bytes(bad))
PY
chmod -R a+rX "$TMP/damaged"

PORT=55431
pg_start "$TMP/regress" "$PORT"
# pg_regress writes its results under pg/; it runs as this user, connecting as postgres.
rm -rf pg/results pg/regression.diffs pg/regression.out
if ! PGHOST=$TMP PGPORT=$PORT PGUSER=postgres LUMENO_DAMAGED_DIR=$TMP/damaged \
    make -s -C pg PG_CONFIG="$PG_CONFIG" BUILD="$PWD/$BUILD" installcheck; then
    [ -f pg/regression.diffs ] && head -n 200 pg/regression.diffs >&2
    echo "test-pg: pg_regress failed (pg/regression.diffs)" >&2
    exit 1
fi
echo "test-pg: passed"
