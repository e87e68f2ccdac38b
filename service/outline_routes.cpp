#include "service/outline_routes.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "index/crs.h"
#include "service/json_text.h"
#include "service/province_union.h"

namespace lookupd {

namespace {

constexpr size_t kSteps = sizeof OutlineRoutes::kLadder / sizeof OutlineRoutes::kLadder[0];

const std::string* First(const std::multimap<std::string, std::string>& params, const char* key) {
    auto it = params.lower_bound(key);
    return it != params.end() && it->first == key ? &it->second : nullptr;
}

PageReply Refuse(const std::string& message) {
    std::string body = "{\"error\":{\"code\":400,\"message\":";
    PutJsonString(body, message);
    body += "}}";
    return PageReply{400, std::move(body), "application/json; charset=utf-8"};
}

}  // namespace

long ToleranceStep(const std::string* text, double fallback) {
    double t = fallback;
    if (text) {
        char* end = nullptr;
        const bool plain =
            !text->empty() && text->size() <= 32 && text->find_first_not_of("0123456789.") == std::string::npos;
        t = plain ? std::strtod(text->c_str(), &end) : -1;
        if (!plain || *end || !(t > 0))
            return -1;
    }
    long step = 0;
    while (step + 1 < static_cast<long>(kSteps) && OutlineRoutes::kLadder[step + 1] <= t)
        ++step;
    return step;
}

const std::vector<DistrictName>& OutlineRoutes::Names() const {
    std::call_once(m_namesOnce, [this] {
        m_names = DistrictNames(m_index);
        for (size_t d = 0; d < m_names.size(); ++d)
            if (!m_names[d].code.empty())
                m_byCode.emplace(m_names[d].code, static_cast<long>(d));
    });
    return m_names;
}

long OutlineRoutes::Find(std::string_view code) const {
    Names();
    auto it = m_byCode.find(std::string(code));
    return it == m_byCode.end() ? -1 : it->second;
}

void OutlineRoutes::ToWgs84(Fixed p, double& lon, double& lat) const {
    lon = p.x / (kMapUnitsPerDegree * kSubUnits);
    lat = p.y / (kMapUnitsPerDegree * kSubUnits);
    if (m_index.IndexDatum() == Datum::kGcj02)
        Gcj02ToWgs84(lon, lat, lon, lat);
}

template <class Make>
std::shared_ptr<const std::string> OutlineRoutes::Cached(const std::string& key, Make make) const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (auto it = m_cache.find(key); it != m_cache.end())
        return it->second;
    auto body = std::make_shared<const std::string>(make());
    while (!m_order.empty() && m_cacheBytes + body->size() > kCacheBytes) {
        m_cacheBytes -= m_cache[m_order.front()]->size();
        m_cache.erase(m_order.front());
        m_order.pop_front();
    }
    if (body->size() <= kCacheBytes) {
        m_cache.emplace(key, body);
        m_order.push_back(key);
        m_cacheBytes += body->size();
    }
    return body;
}

std::string OutlineRoutes::Collection(std::vector<Shape>& shapes, size_t step) const {
    // Every shape simplified at each step from the asked one up, until one fits.
    std::vector<std::vector<Outline>> simple(shapes.size());
    for (; step < kSteps; ++step) {
        const double tolerance = kLadder[step] * kMapUnitsPerDegree * kSubUnits;
        size_t vertices = 0;
        for (size_t s = 0; s < shapes.size(); ++s) {
            Outline o;
            const Outline& full = shapes[s].outline;
            for (const Chain& r : full.rings) {
                // A district keeps at least its largest ring, however coarse the step.
                const bool keep = shapes[s].polygons && &r == &full.rings[0];
                if (Chain c = Simplify(r, true, tolerance, keep); !c.empty())
                    o.rings.push_back(std::move(c));
            }
            for (const Chain& l : full.lines)
                o.lines.push_back(Simplify(l, false, tolerance, true));
            vertices += o.VertexCount();
            simple[s].push_back(std::move(o));
        }
        if (vertices <= kMaxVertices || step + 1 == kSteps)
            break;
        for (auto& s : simple)
            s.clear();
    }
    char number[64];
    auto put = [&](Fixed p) {
        double lon, lat;
        ToWgs84(p, lon, lat);
        std::snprintf(number, sizeof number, "[%.6f,%.6f]", lon, lat);
        return std::string(number);
    };
    auto putChain = [&](std::string& out, const Chain& c, bool closed) {
        out += '[';
        for (size_t i = 0; i < c.size(); ++i)
            out += (i ? "," : "") + put(c[i]);
        if (closed && !c.empty())
            out += "," + put(c[0]);
        out += ']';
    };
    std::snprintf(number, sizeof number, "%g", kLadder[step]);
    std::string body = "{\"type\":\"FeatureCollection\",\"tolerance\":" + std::string(number) + ",\"features\":[";
    for (size_t s = 0; s < shapes.size(); ++s) {
        const Outline& o = simple[s].back();
        body += s ? ",{" : "{";
        body += "\"type\":\"Feature\",\"properties\":{\"code\":";
        PutJsonString(body, shapes[s].code);
        body += ",\"name\":";
        PutJsonString(body, shapes[s].name);
        body += ",\"full\":";
        PutJsonString(body, shapes[s].full);
        body += ",\"role\":";
        PutJsonString(body, shapes[s].role);
        body += ",\"vertices\":" + std::to_string(o.VertexCount()) + "},\"geometry\":";
        if (shapes[s].polygons) {
            body += "{\"type\":\"MultiPolygon\",\"coordinates\":[";
            const auto polygons = GroupRings(o.rings);
            for (size_t p = 0; p < polygons.size(); ++p) {
                body += p ? ",[" : "[";
                for (size_t r = 0; r < polygons[p].size(); ++r) {
                    body += r ? "," : "";
                    putChain(body, *polygons[p][r], true);
                }
                body += ']';
            }
        } else {
            body += "{\"type\":\"MultiLineString\",\"coordinates\":[";
            size_t n = 0;
            for (const Chain& r : o.rings) {
                body += n++ ? "," : "";
                putChain(body, r, true);
            }
            for (const Chain& l : o.lines) {
                body += n++ ? "," : "";
                putChain(body, l, false);
            }
        }
        body += "]}}";
    }
    body += "]}";
    return body;
}

PageReply OutlineRoutes::District(const std::multimap<std::string, std::string>& params) const {
    const std::string* code = First(params, "code");
    if (!code || code->size() != 6 || code->find_first_not_of("0123456789") != std::string::npos)
        return Refuse("Parameter 'code' must be a 6-digit division code");
    const long district = Find(*code);
    if (district < 0)
        return Refuse("No district has the code " + *code);
    const long step = ToleranceStep(First(params, "tolerance"), 0.001);
    if (step < 0)
        return Refuse("Parameter 'tolerance' must be a positive decimal number of degrees");
    const std::string* nb = First(params, "neighbours");
    if (nb && *nb != "0" && *nb != "1")
        return Refuse("Parameter 'neighbours' must be 0 or 1");
    const bool withNeighbours = nb && *nb == "1";
    const std::string key = "d" + *code + "/" + std::to_string(step) + (withNeighbours ? "n" : "");
    auto body = Cached(key, [&] {
        std::vector<uint32_t> ds{static_cast<uint32_t>(district)};
        if (withNeighbours)
            for (uint32_t n : m_source.Neighbours(ds[0]))
                ds.push_back(n);
        std::vector<Shape> shapes;
        for (uint32_t d : ds) {
            const DistrictName& n = Names()[d];
            const std::string& own = !n.levels.district.empty() ? n.levels.district : n.levels.prefecture;
            shapes.push_back(
                Shape{n.code, own, n.full, d == ds[0] ? "district" : "neighbour", m_source.Merge({d}), true});
        }
        return Collection(shapes, static_cast<size_t>(step));
    });
    return PageReply{200, *body, "application/geo+json; charset=utf-8"};
}

PageReply OutlineRoutes::Provinces(const std::multimap<std::string, std::string>& params) const {
    long step = ToleranceStep(First(params, "tolerance"), kProvinceFloor);
    if (step < 0)
        return Refuse("Parameter 'tolerance' must be a positive decimal number of degrees");
    step = std::max(step, ToleranceStep(nullptr, kProvinceFloor));
    auto body = Cached("p/" + std::to_string(step), [&] {
        // Districts by province, in the order the index has them.
        std::vector<std::string> order;
        std::map<std::string, std::vector<uint32_t>> members;
        const auto& names = Names();
        for (size_t d = 0; d < names.size(); ++d) {
            const std::string& p = names[d].levels.province;
            if (p.empty())
                continue;
            if (members[p].empty())
                order.push_back(p);
            members[p].push_back(static_cast<uint32_t>(d));
        }
        std::vector<Shape> shapes;
        const double tolerance = kLadder[step] * kMapUnitsPerDegree * kSubUnits;
        for (const std::string& p : order) {
            const std::string& code = names[members[p][0]].code;
            shapes.push_back(Shape{code.size() == 6 ? code.substr(0, 2) + "0000" : std::string(), p, p, "province",
                                   ProvinceOutline(m_source, members[p], tolerance), true});
        }
        return Collection(shapes, static_cast<size_t>(step));
    });
    return PageReply{200, *body, "application/geo+json; charset=utf-8"};
}

}  // namespace lookupd
