-- Answers from the installed index: names, codes, distances, every coordinate system.
CREATE EXTENSION lumeno;

-- The index installed beside the extension, and the code list the converter recorded.
SELECT file LIKE '%/extension/lookupd.idx' AS installed, districts, pieces, code_list, code_list_date
FROM lumeno.index_info();

-- The window's example position.
SELECT * FROM lumeno.district(113.65735, 34.79139167);
SELECT lumeno.district_code(113.65735, 34.79139167);

-- Renamed and merged since the boundary data was drawn: 莱芜市 is now 济南市's 莱芜区 and
-- 钢城区; 大同's 矿区 and 南郊区 are 云冈区. The old names and codes must not come back.
SELECT place, (lumeno.district(lon, lat)).*
FROM (VALUES ('Laiwu', 117.6766, 36.2134), ('Gangcheng', 117.811, 36.058),
             ('Yungang Grottoes', 113.1227, 40.1103)) AS t(place, lon, lat);

-- One pair of numbers in each system: GPS's reading is 管城回族区, a Chinese map's 二七区; the
-- aliases name the same systems in any case.
SELECT crs, (lumeno.district(113.666, 34.704, crs)).district, lumeno.district_code(113.666, 34.704, crs)
FROM unnest(ARRAY['wgs84', 'gcj02', 'AMap', 'tencent', 'bd09', 'BAIDU']) AS crs;
-- The same place read back in each system.
SELECT (lumeno.district(113.67210, 34.70284, 'gcj02')).district AS gcj02,
       (lumeno.district(113.67863, 34.70881, 'bd09')).district AS bd09;

-- At sea off Pudong, within the near radius: the district and the metres to its border.
SELECT * FROM lumeno.district(121.745, 31.295);

-- A municipality has no prefecture; Taiwan's districts no division code.
SELECT * FROM lumeno.district(116.3975, 39.9087);
SELECT * FROM lumeno.district(121.5645, 25.0340);
