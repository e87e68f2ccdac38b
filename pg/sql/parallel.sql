-- A parallel plan gives the rows a serial one gives.
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS lumeno;
RESET client_min_messages;

-- Points on a grid over eastern China, some at sea and some outside the region.
CREATE TABLE pts AS
SELECT row_number() OVER () AS id, lon, lat
FROM generate_series(100.0, 125.0, 0.25) AS lon, generate_series(18.0, 45.0, 0.25) AS lat;
ANALYZE pts;

CREATE TABLE serial_answers AS SELECT id, (lumeno.district(lon, lat)).*, lumeno.district_code(lon, lat) AS code_only FROM pts;

SET parallel_setup_cost = 0;
SET parallel_tuple_cost = 0;
SET min_parallel_table_scan_size = 0;
SET max_parallel_workers_per_gather = 2;
EXPLAIN (COSTS OFF)
CREATE TABLE parallel_answers AS SELECT id, (lumeno.district(lon, lat)).*, lumeno.district_code(lon, lat) AS code_only FROM pts;
CREATE TABLE parallel_answers AS SELECT id, (lumeno.district(lon, lat)).*, lumeno.district_code(lon, lat) AS code_only FROM pts;

SELECT count(*) AS points, count(district) AS named, count(distance_m) AS near, count(error) AS refused,
       count(DISTINCT code) AS codes
FROM parallel_answers;
-- Equal row for row (both ways).
SELECT count(*) AS differing FROM (
    (SELECT * FROM serial_answers EXCEPT ALL SELECT * FROM parallel_answers)
    UNION ALL
    (SELECT * FROM parallel_answers EXCEPT ALL SELECT * FROM serial_answers)) AS d;
-- district_code agrees with district's code.
SELECT count(*) AS disagreeing FROM parallel_answers WHERE code IS DISTINCT FROM code_only;
