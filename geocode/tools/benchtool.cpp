// The benchmark's helper: random points over China's land, the index's own polygons for
// PostGIS and GeoPandas, and the comparison of the three answers.
//   geocode_benchtool points INDEX COUNT SEED POINTS.csv PLANE.tsv
//   geocode_benchtool polygons INDEX PIECES.tsv DISTRICTS.tsv   (district, name, code)
//   geocode_benchtool compare INDEX PLANE.tsv OURS.csv NAME=ANSWERS.tsv...
// PLANE.tsv and PIECES.tsv are in the index's plane: 1/32 map unit on the offset datum the index
// keeps, so the other engines test exactly the coordinates the index tests.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/crs.h"
#include "index/geo.h"
#include "index/pieces.h"
#include "index/place_index.h"
#include "places.h"
#include "readers.h"

using namespace lookupd;

namespace {

Fixed Plane(int64_t x, int64_t y) {
    double lon = x / kMapUnitsPerDegree, lat = y / kMapUnitsPerDegree;
    Wgs84ToGcj02(lon, lat, lon, lat);
    return Fixed{DegreesToFixed(lon), DegreesToFixed(lat)};
}

int Points(const PlaceIndex& index, long count, unsigned seed, const char* csv, const char* plane) {
    std::mt19937_64 rng(seed);
    // China's extent in map units; a point is kept when it lies inside a district.
    std::uniform_int_distribution<int64_t> xs(73 * 360000 + 180000, 135 * 360000 + 36000);
    std::uniform_int_distribution<int64_t> ys(18 * 360000, 53 * 360000 + 200000);
    std::FILE* a = std::fopen(csv, "wb");
    std::FILE* b = std::fopen(plane, "wb");
    if (!a || !b)
        return 2;
    std::fprintf(a, "id,lon,lat\n");
    for (long i = 0; i < count;) {
        int64_t x = xs(rng), y = ys(rng);
        if (index.Lookup(x, y, 0).kind != Match::kInside)
            continue;
        // Half a unit up, so that the parser's cut to whole units gives x and y again.
        std::fprintf(a, "%ld,%.9f,%.9f\n", i, (x + 0.5) / 360000.0, (y + 0.5) / 360000.0);
        Fixed f = Plane(x, y);
        std::fprintf(b, "%ld\t%d\t%d\n", i, f.x, f.y);
        ++i;
    }
    return std::fclose(a) == 0 && std::fclose(b) == 0 ? 0 : 2;
}

int Polygons(const PlaceIndex& index, const char* piecesPath, const char* districtsPath) {
    std::FILE* p = std::fopen(piecesPath, "wb");
    std::FILE* d = std::fopen(districtsPath, "wb");
    if (!p || !d)
        return 2;
    for (size_t i = 0; i < index.PieceCount(); ++i) {
        std::fprintf(p, "%u\tPOLYGON(", index.PieceDistrict(i));
        bool firstRing = true;
        for (const FixedRing& ring : index.PieceRings(i)) {
            std::fputs(firstRing ? "(" : ",(", p);
            firstRing = false;
            for (size_t k = 0; k < ring.size(); ++k)
                std::fprintf(p, k ? ",%d %d" : "%d %d", ring[k].x, ring[k].y);
            std::fputc(')', p);
        }
        std::fputs(")\n", p);
    }
    for (uint32_t i = 0; i < index.DistrictCount(); ++i) {
        std::string utf8;
        geocode::GbkToUtf8(index.Name(i), utf8);
        // The division code, \N (PostgreSQL's NULL) where the index has none.
        const std::string code = geocode::DistrictCode(index, i);
        std::fprintf(d, "%u\t%s\t%s\n", i, utf8.c_str(), code.empty() ? "\\N" : code.c_str());
    }
    return std::fclose(p) == 0 && std::fclose(d) == 0 ? 0 : 2;
}

// Metres from a plane point to the nearest real border (no cut) of a district's pieces.
double BorderMetres(const PlaceIndex& index,
                    const std::vector<std::vector<size_t>>& piecesOf,
                    uint32_t district,
                    Fixed pt) {
    double c = std::cos(pt.y / double(kSubUnits) / kMapUnitsPerDegree * 3.14159265358979323846 / 180.0);
    double best = INFINITY;
    for (size_t piece : piecesOf[district])
        for (const FixedRing& pts : index.PieceRings(piece))
            for (size_t k = 0; k + 1 < pts.size(); ++k) {
                if (IsSeam(pts[k], pts[k + 1]))
                    continue;
                double ax = (pts[k].x - pt.x) * c, ay = pts[k].y - pt.y;
                double bx = (pts[k + 1].x - pt.x) * c, by = pts[k + 1].y - pt.y;
                double dx = bx - ax, dy = by - ay, len = dx * dx + dy * dy;
                double t = len > 0 ? std::clamp(-(ax * dx + ay * dy) / len, 0.0, 1.0) : 0;
                best = std::min(best, std::hypot(ax + t * dx, ay + t * dy));
            }
    return best / kSubUnits * kMetresPerMapUnit;
}

// Answers are compared by what a user sees, the name and the code, not by district number:
// two districts of the index may bear one name (parts of a district merged into another keep
// pieces of their own), and a yardstick may name the other one's number for a point both
// engines place alike. Each name and code is a place; a place's districts are all of them.
int Compare(const PlaceIndex& index, const char* plane, const char* ours, int argc, char** argv) {
    std::unordered_map<std::string, long> placeOf;  // "name\tcode" -> place
    std::vector<long> placeOfDistrict(index.DistrictCount());
    std::vector<std::vector<uint32_t>> districtsOf;  // per place
    for (uint32_t i = 0; i < index.DistrictCount(); ++i) {
        std::string utf8;
        geocode::GbkToUtf8(index.Name(i), utf8);
        auto [it, added] =
            placeOf.emplace(utf8 + "\t" + geocode::DistrictCode(index, i), static_cast<long>(districtsOf.size()));
        if (added)
            districtsOf.emplace_back();
        districtsOf[it->second].push_back(i);
        placeOfDistrict[i] = it->second;
    }
    std::vector<std::vector<size_t>> piecesOf(index.DistrictCount());
    for (size_t i = 0; i < index.PieceCount(); ++i)
        piecesOf[index.PieceDistrict(i)].push_back(i);

    std::vector<Fixed> pts;
    {
        std::ifstream in(plane);
        long id;
        Fixed f;
        while (in >> id >> f.x >> f.y)
            pts.push_back(f);
    }
    // Ours: id,lon,lat,province,prefecture,district,code,distance_m,error; a near answer is
    // no containment, so it counts as none. Places, not districts, from here on.
    const long kNone = -1;
    std::vector<long> mine(pts.size(), -2);
    {
        std::ifstream in(ours);
        std::string line;
        std::vector<std::string> cells;
        std::getline(in, line);
        while (std::getline(in, line)) {
            geocode::SplitDelimited(line, ',', cells);
            if (cells.size() < 9)
                continue;
            size_t id = std::strtoul(cells[0].c_str(), nullptr, 10);
            auto it = placeOf.find(cells[3] + cells[4] + cells[5] + "\t" + cells[6]);
            if (id < mine.size())
                mine[id] = cells[7].empty() && it != placeOf.end() ? it->second : kNone;
        }
    }
    for (int a = 0; a < argc; ++a) {
        std::string given = argv[a];
        size_t eq = given.find('=');
        std::vector<long> theirs(pts.size(), kNone);
        std::vector<bool> seen(pts.size(), false);  // a yardstick may have had only some points
        std::ifstream in(given.substr(eq + 1));
        std::string line;
        while (std::getline(in, line)) {
            size_t tab = line.find('\t');
            size_t id = std::strtoul(line.c_str(), nullptr, 10);
            if (tab == std::string::npos || id >= theirs.size())
                continue;
            seen[id] = true;
            long district = tab + 1 < line.size() ? std::strtol(line.c_str() + tab + 1, nullptr, 10) : kNone;
            if (district >= 0 && static_cast<size_t>(district) < placeOfDistrict.size())
                theirs[id] = placeOfDistrict[district];
        }
        size_t agree = 0, nearBorder = 0, missing = 0, asked = 0;
        for (size_t i = 0; i < pts.size(); ++i) {
            if (!seen[i])
                continue;
            ++asked;
            if (mine[i] == -2) {
                ++missing;
                continue;
            }
            if (mine[i] == theirs[i]) {
                ++agree;
                continue;
            }
            double m = INFINITY;
            for (long place : {mine[i], theirs[i]})
                if (place >= 0)
                    for (uint32_t d : districtsOf[place])
                        m = std::min(m, BorderMetres(index, piecesOf, d, pts[i]));
            nearBorder += m <= 1.0;
        }
        size_t counted = asked - nearBorder;
        std::printf(
            "agreement with %s: %.4f%% (%zu of %zu points; %zu differing points within 1 m of a border "
            "left out; %zu points without our row)\n",
            given.substr(0, eq).c_str(), counted ? 100.0 * agree / counted : 0.0, agree, counted, nearBorder, missing);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: geocode_benchtool points|polygons|compare INDEX ...\n");
        return 2;
    }
    PlaceIndex index;
    std::string err = index.Load(argv[2]);
    if (!err.empty()) {
        std::fprintf(stderr, "geocode_benchtool: %s\n", err.c_str());
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "points" && argc == 7)
        return Points(index, std::atol(argv[3]), static_cast<unsigned>(std::atol(argv[4])), argv[5], argv[6]);
    if (cmd == "polygons" && argc == 5)
        return Polygons(index, argv[3], argv[4]);
    if (cmd == "compare" && argc >= 6)
        return Compare(index, argv[3], argv[4], argc - 5, argv + 5);
    std::fprintf(stderr, "geocode_benchtool: bad arguments for %s\n", cmd.c_str());
    return 2;
}
