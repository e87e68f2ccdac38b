\echo Use "CREATE EXTENSION lumeno" to load this file. \quit

-- IMMUTABLE: for one index file the answer is a pure function of the arguments, and
-- postgres_fdw sends only immutable functions to a shard. After installing a new index,
-- reindex (and refresh) whatever is built on these functions.
-- COST: a lookup takes about a microsecond, some hundred times an operator's cost; the planner
-- then gives a scan of many rows its parallel workers.

GRANT USAGE ON SCHEMA lumeno TO PUBLIC;

CREATE TYPE lumeno.place AS (
    province text,
    prefecture text,
    district text,
    code integer,
    distance_m integer,
    error text
);
COMMENT ON TYPE lumeno.place IS
    'UTF-8 names of a district; code its 6-digit division code; distance_m the metres to its border for a position at sea within the near radius; error why a position got no district';

CREATE FUNCTION lumeno.district(lon float8, lat float8, crs text DEFAULT 'wgs84')
RETURNS lumeno.place
AS 'MODULE_PATHNAME', 'lumeno_district'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 150;
COMMENT ON FUNCTION lumeno.district(float8, float8, text) IS
    'The district of a position in decimal degrees (crs: wgs84, gcj02 or amap or tencent, bd09 or baidu)';

CREATE FUNCTION lumeno.district_code(lon float8, lat float8, crs text DEFAULT 'wgs84')
RETURNS integer
AS 'MODULE_PATHNAME', 'lumeno_district_code'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 100;
COMMENT ON FUNCTION lumeno.district_code(float8, float8, text) IS
    'The 6-digit division code of a position''s district; NULL where lumeno.district gives no code';

CREATE FUNCTION lumeno.index_info(
    OUT file text, OUT districts integer, OUT pieces bigint, OUT code_list text, OUT code_list_date date)
AS 'MODULE_PATHNAME', 'lumeno_index_info'
LANGUAGE C STABLE STRICT PARALLEL SAFE;
COMMENT ON FUNCTION lumeno.index_info() IS
    'The loaded index: its file, districts and pieces, and the official code list it was checked against (NULL without the converter''s .meta file)';
