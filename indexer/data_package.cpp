#include "indexer/data_package.h"

#include <fstream>
#include <utility>

#include "index/crs.h"
#include "indexer/compact_decode.h"
#include "indexer/piece_cutter.h"

using nlohmann::json;

namespace lookupd {

namespace {

using Ring = std::vector<std::pair<double, double>>;

bool PlainRing(const json& coords, Ring& ring) {
    ring.clear();
    if (!coords.is_array())
        return false;
    for (const json& v : coords) {
        if (!v.is_array() || v.size() < 2 || !v[0].is_number() || !v[1].is_number())
            return false;
        ring.emplace_back(v[0].get<double>(), v[1].get<double>());
    }
    return true;
}

// One polygon (outline plus holes) in either the plain or the compact form.
bool ReadPolygon(const json& rings, const json* offsets, bool wgs84, std::vector<FixedRing>& out) {
    out.clear();
    if (!rings.is_array())
        return false;
    Ring ring;
    for (size_t i = 0; i < rings.size(); ++i) {
        if (offsets) {
            const json& off = (*offsets)[i];
            if (!rings[i].is_string() || !off.is_array() || off.size() < 2 ||
                !DecodeCompactRing(rings[i].get<std::string>(), off[0].get<long>(), off[1].get<long>(), ring))
                return false;
        } else if (!PlainRing(rings[i], ring)) {
            return false;
        }
        FixedRing f;
        f.reserve(ring.size());
        for (auto& [lon, lat] : ring) {
            double gLon = lon, gLat = lat;
            if (wgs84)
                Wgs84ToGcj02(lon, lat, gLon, gLat);
            f.push_back(Fixed{DegreesToFixed(gLon), DegreesToFixed(gLat)});
        }
        if (TidyRing(f))
            out.push_back(std::move(f));
        else if (i == 0)
            return true;  // a degenerate outline: nothing to index
    }
    return true;
}

}  // namespace

bool ReadJson(const std::string& path, json& out, std::string& err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot open " + path;
        return false;
    }
    try {
        out = json::parse(in);
    } catch (const std::exception& e) {
        err = path + ": " + e.what();
        return false;
    }
    return true;
}

bool AddFile(const std::string& path,
             bool wgs84,
             const std::string& prefix,
             const std::string& cityFull,
             size_t maxVertices,
             std::vector<District>& out,
             std::vector<DivisionName>& names,
             Stats& stats,
             std::string& err) {
    json doc;
    if (!ReadJson(path, doc, err))
        return false;
    bool compact = doc.value("UTF8Encoding", false);
    stats.compactFiles += compact ? 1 : 0;
    if (!doc.contains("features") || !doc["features"].is_array()) {
        err = path + ": no feature list";
        return false;
    }
    for (const json& ft : doc["features"]) {
        const json& props = ft["properties"];
        const json& geom = ft["geometry"];
        if (!props.contains("name") || !geom.is_object())
            continue;
        std::string name = props["name"].get<std::string>();
        District d;
        // The division code is the feature's id, where it has one of six digits.
        std::string code = ft.contains("id") && ft["id"].is_string() ? ft["id"].get<std::string>() : "";
        if (code.size() != 6 || code.find_first_not_of("0123456789") != std::string::npos)
            code.clear();
        DivisionName dn{prefix, cityFull, name == cityFull ? std::string() : name, code};
        std::string type = geom.value("type", "");
        const json& coords = geom["coordinates"];
        const json* offs = compact ? &geom["encodeOffsets"] : nullptr;
        std::vector<const json*> polys, polyOffs;
        if (type == "Polygon") {
            polys.push_back(&coords);
            polyOffs.push_back(offs);
        } else if (type == "MultiPolygon") {
            for (size_t i = 0; i < coords.size(); ++i) {
                polys.push_back(&coords[i]);
                polyOffs.push_back(offs ? &(*offs)[i] : nullptr);
            }
        } else {
            continue;
        }
        std::vector<FixedRing> rings;
        for (size_t i = 0; i < polys.size(); ++i) {
            if (!ReadPolygon(*polys[i], polyOffs[i], wgs84, rings)) {
                err = path + ": feature " + name + " has malformed coordinates";
                return false;
            }
            for (const FixedRing& r : rings)
                stats.vertices += r.size();
            SplitPolygon(rings, maxVertices, d.pieces);
        }
        // A feature without a shape (the package keeps one for Jizhou, whose outline it ships
        // separately) would be a name no point can ever reach.
        if (d.pieces.empty())
            continue;
        stats.features++;
        stats.pieces += d.pieces.size();
        out.push_back(std::move(d));
        names.push_back(std::move(dn));
    }
    return true;
}

}  // namespace lookupd
