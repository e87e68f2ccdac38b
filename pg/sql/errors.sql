-- Rows without a district, NULLs, and what is an ERROR.
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS lumeno;
RESET client_min_messages;

-- STRICT: NULL in, NULL out.
SELECT lumeno.district(NULL, 34.79) IS NULL AS lon, lumeno.district(113.65, NULL) IS NULL AS lat,
       lumeno.district(113.65, 34.79, NULL) IS NULL AS crs, lumeno.district_code(NULL, NULL) IS NULL AS code;

-- Refused rows keep their place with the reason, as lumeno-geocode words it; a query over
-- many rows goes on past them. The region's edges (west 73.44696, east 135.08583, north
-- 53.55793 degrees): west inside, east and north outside.
SELECT lon, lat, d.*, lumeno.district_code(lon, lat) AS code_only
FROM (VALUES (1, 2.35, 48.85), (2, 'NaN'::float8, 30), (3, 'Infinity'::float8, 30), (4, 123.0, 30.0),
             (5, 73.447, 39.5), (6, 73.4469, 39.5), (7, 135.0858, 48.0), (8, 135.0859, 48.0),
             (9, 122.5, 53.5579), (10, 122.5, 53.558)) AS t(n, lon, lat),
     lumeno.district(lon, lat) AS d
ORDER BY n;

-- An unknown coordinate system is an ERROR naming the known ones.
SELECT lumeno.district(113.65, 34.79, 'utm50n');
SELECT lumeno.district_code(113.65, 34.79, '');

-- The index is the setting's; a file that is not there is an ERROR naming it, in the session
-- that set it, and the installed one answers again once the setting is back.
SET lumeno.index = '/nonexistent';
SELECT lumeno.district(113.65735, 34.79139167);
SELECT lumeno.district_code(113.65735, 34.79139167);
SELECT * FROM lumeno.index_info();
RESET lumeno.index;
SELECT (lumeno.district(113.65735, 34.79139167)).district;

-- Every user may look up; only a superuser names the file the server opens.
CREATE ROLE lumeno_plain;
SET ROLE lumeno_plain;
SELECT (lumeno.district(113.65735, 34.79139167)).district, lumeno.district_code(113.65735, 34.79139167);
SET lumeno.index = '/etc/passwd';
RESET ROLE;
DROP ROLE lumeno_plain;

-- Names come in UTF-8 only: another database encoding is refused, codes are not.
CREATE DATABASE lumeno_ascii ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
\c lumeno_ascii
CREATE EXTENSION lumeno;
SELECT lumeno.district(113.65735, 34.79139167);
SELECT lumeno.district_code(113.65735, 34.79139167);
\c contrib_regression
DROP DATABASE lumeno_ascii;
