-- Damaged index files (made by scripts/test-pg.sh in LUMENO_DAMAGED_DIR): an ERROR naming the
-- file and the fault, never a crash and never a wrong name.
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS lumeno;
RESET client_min_messages;
\getenv dir LUMENO_DAMAGED_DIR
-- The messages name the test's own folder; it is shown as DIR.
CREATE FUNCTION pg_temp.attempt(file text, lon float8, lat float8) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    PERFORM set_config('lumeno.index', file, false);
    RETURN (lumeno.district(lon, lat)).district;
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ': ' || replace(SQLERRM, file, 'DIR/' || regexp_replace(file, '.*/', ''));
END $$;
-- Header and tables are checked when the file is loaded.
SELECT pg_temp.attempt(:'dir' || '/bad-magic.idx', 113.65735, 34.79139167);
-- (The sizes, which change with the data, are shown as N.)
SELECT regexp_replace(pg_temp.attempt(:'dir' || '/truncated.idx', 113.65735, 34.79139167), '[0-9]{4,}', 'N', 'g');
SELECT pg_temp.attempt(:'dir' || '/bad-table.idx', 113.65735, 34.79139167);
-- A piece's geometry is checked when a lookup needs it: one near a border fails, one well
-- inside a district (answered by the index's cell grid) needs no piece. The first of each
-- along a row of positions:
SELECT DISTINCT ON (damaged) damaged, i, a FROM (
    SELECT i, a, a LIKE 'XX001%' AS damaged FROM (
        SELECT i, pg_temp.attempt(:'dir' || '/bad-pieces.idx', 113.00 + i * 0.02, 34.75) AS a
        FROM generate_series(0, 40) i) s) t
    ORDER BY damaged, i;
-- A good copy under another name answers; the session's setting decides.
SELECT pg_temp.attempt(:'dir' || '/good.idx', 113.65735, 34.79139167);
SELECT file = :'dir' || '/good.idx' AS loaded_copy, code_list_date IS NULL AS no_sidecar FROM lumeno.index_info();
