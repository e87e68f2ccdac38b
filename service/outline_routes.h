// The map page's outline routes: a district's outline (and its neighbours') by division code and
// the provinces' outlines, as GeoJSON in WGS-84, simplified to a tolerance from a fixed ladder,
// each answer bounded in size and kept in a bounded cache.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "index/names.h"
#include "service/outlines.h"

namespace lookupd {

struct PageReply {
    int status;
    std::string body;
    const char* contentType;
};

class OutlineRoutes {
public:
    // Tolerances in degrees: asked ones are clamped into the ladder's range and taken down to
    // its nearest step, so that each step is computed once; coarser steps are taken where an
    // answer would pass kMaxVertices.
    static constexpr double kLadder[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1};
    static constexpr size_t kMaxVertices = 60000;  // some 1.5 MB of JSON
    static constexpr size_t kCacheBytes = 32u << 20;
    // The provinces together pass kMaxVertices at any finer step; asking for one would only
    // spend seconds on a union that is then thrown away.
    static constexpr double kProvinceFloor = 0.01;

    explicit OutlineRoutes(const PlaceIndex& index) : m_index(index), m_source(index) {}

    // /outline?code=410105[&tolerance=0.001][&neighbours=1]
    PageReply District(const std::multimap<std::string, std::string>& params) const;
    // /provinces[?tolerance=0.01]
    PageReply Provinces(const std::multimap<std::string, std::string>& params) const;

    // Every district's names, made at the first request that needs them.
    const std::vector<DistrictName>& Names() const;
    const OutlineSource& Source() const { return m_source; }
    // The bytes of the answers the cache holds, at most kCacheBytes.
    size_t CachedBytes() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_cacheBytes;
    }
    // The district with this 6-digit code, or -1.
    long Find(std::string_view code) const;
    // A vertex of the index's plane in WGS-84 degrees.
    void ToWgs84(Fixed p, double& lon, double& lat) const;

private:
    struct Shape {
        std::string code, name, full, role;
        Outline outline;  // full resolution, on the index's plane
        bool polygons;    // rings as polygons (a district) or all as lines (a province)
    };
    // The shapes at the finest step from `step` on that keeps them within kMaxVertices.
    std::string Collection(std::vector<Shape>& shapes, size_t step) const;
    // The cached body for key, else made (under the lock, which bounds the memory that
    // outlines take to one answer's worth at a time).
    template <class Make>
    std::shared_ptr<const std::string> Cached(const std::string& key, Make make) const;

    const PlaceIndex& m_index;
    OutlineSource m_source;
    mutable std::once_flag m_namesOnce;
    mutable std::vector<DistrictName> m_names;
    mutable std::map<std::string, long> m_byCode;
    mutable std::mutex m_lock;
    mutable std::map<std::string, std::shared_ptr<const std::string>> m_cache;
    mutable std::deque<std::string> m_order;  // oldest first, for eviction
    mutable size_t m_cacheBytes = 0;
};

// Reads a tolerance parameter: the ladder step, or -1 for a value that is not a positive
// decimal number.
long ToleranceStep(const std::string* text, double fallback);

}  // namespace lookupd
