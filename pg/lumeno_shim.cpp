// The C++ half of the extension: the index library behind the plain C calls of lumeno_shim.h.
#include "lumeno_shim.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/ServiceRegion.h"
#include "index/crs.h"
#include "index/names.h"
#include "index/place_index.h"

namespace {

// The radius every front end asks with: 6000 map units, a sixtieth of a degree (about 1.85 km).
constexpr int64_t kNearRadius = 6000;
constexpr double kUnitsPerDegree = 360000.0;

struct Loaded {
    std::string path;
    lookupd::PlaceIndex index;
    std::vector<lookupd::DistrictName> names;
};

// The backend's index: mapped read-only, so every backend shares the file's pages.
std::unique_ptr<Loaded> g_loaded;
uint64_t g_generation = 0;

// Degrees to map units as the window and the batch tool take them: computed in binary floating
// point and cut (not rounded). False for a value no map unit holds.
bool ToUnits(double degrees, int32_t& out) {
    const double units = degrees * kUnitsPerDegree;
    if (!(std::fabs(units) < 2147483648.0))
        return false;
    out = static_cast<int32_t>(units);
    return true;
}

}  // namespace

extern "C" int lumeno_use_index(const char* path, char* err, size_t errSize) {
    if (g_loaded && g_loaded->path == path)
        return 0;
    try {
        auto next = std::make_unique<Loaded>();
        next->path = path;
        const std::string fault = next->index.Load(next->path);
        if (!fault.empty()) {
            std::snprintf(err, errSize, "%s", fault.c_str());
            return -1;
        }
        next->index.BuildCells();
        next->names = lookupd::DistrictNames(next->index);
        g_loaded = std::move(next);
        ++g_generation;
        return 1;
    } catch (const std::exception& e) {
        std::snprintf(err, errSize, "%s: cannot load the index: %s", path, e.what());
        return -1;
    }
}

extern "C" uint64_t lumeno_generation(void) {
    return g_generation;
}

extern "C" int lumeno_parse_crs(const char* name, size_t len, int* crs) {
    lookupd::Crs c;
    if (!lookupd::ParseCrs(std::string_view(name, len), c))
        return 0;
    *crs = static_cast<int>(c);
    return 1;
}

extern "C" const char* lumeno_known_crs(void) {
    return lookupd::KnownCrsNames();
}

extern "C" void lumeno_lookup(double lon, double lat, int crs, LumenoAnswer* out) {
    *out = LumenoAnswer{LUMENO_OUTSIDE, 0, 0};
    MapPoint p;
    if (!g_loaded || !ToUnits(lon, p.x) || !ToUnits(lat, p.y) || !IsInServiceRegion(p))
        return;
    lookupd::Match m;
    try {
        m = g_loaded->index.Lookup(p.x, p.y, kNearRadius, static_cast<lookupd::Crs>(crs));
    } catch (...) {
        out->kind = LUMENO_FAULT;
        return;
    }
    switch (m.kind) {
        case lookupd::Match::kInside:
            *out = LumenoAnswer{LUMENO_INSIDE, m.district, 0};
            break;
        case lookupd::Match::kNear:
            *out = LumenoAnswer{LUMENO_NEAR, m.district, static_cast<int32_t>(std::lround(m.metres))};
            break;
        case lookupd::Match::kNone:
            out->kind = LUMENO_NONE;
            break;
        case lookupd::Match::kError:
            out->kind = LUMENO_DAMAGED;
            break;
    }
}

extern "C" const char* lumeno_refusal(int kind) {
    return kind == LUMENO_OUTSIDE ? "outside the service region" : "no district within the near radius (about 1.85 km)";
}

extern "C" void lumeno_names(uint32_t district, LumenoText* province, LumenoText* prefecture, LumenoText* county) {
    const lookupd::Levels& l = g_loaded->names[district].levels;
    *province = LumenoText{l.province.data(), l.province.size()};
    *prefecture = LumenoText{l.prefecture.data(), l.prefecture.size()};
    *county = LumenoText{l.district.data(), l.district.size()};
}

extern "C" uint32_t lumeno_code(uint32_t district) {
    return g_loaded->index.Code(district);
}

extern "C" const char* lumeno_index_path(void) {
    return g_loaded ? g_loaded->path.c_str() : "";
}

extern "C" size_t lumeno_district_count(void) {
    return g_loaded ? g_loaded->index.DistrictCount() : 0;
}

extern "C" size_t lumeno_piece_count(void) {
    return g_loaded ? g_loaded->index.PieceCount() : 0;
}
