#include "service/province_union.h"

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/multi_polygon.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/polygon.hpp>
#include <cmath>

namespace lookupd {

namespace {

namespace bg = boost::geometry;
using Point = bg::model::d2::point_xy<double>;
using Polygon = bg::model::polygon<Point>;
using Multi = bg::model::multi_polygon<Polygon>;

Polygon::ring_type ToRing(const Chain& c) {
    Polygon::ring_type r;
    for (Fixed p : c)
        r.push_back(Point(p.x, p.y));
    return r;
}

Chain FromRing(const Polygon::ring_type& r) {
    Chain c;
    for (const Point& p : r) {
        const Fixed f{static_cast<int32_t>(std::lround(p.x())), static_cast<int32_t>(std::lround(p.y()))};
        if (c.empty() || c.back() != f)
            c.push_back(f);
    }
    if (c.size() > 1 && c.front() == c.back())
        c.pop_back();
    return c;
}

// Unions in pairs, so that each step joins shapes of like size.
// The smallest hole kept: half a square degree in 1/32 map units squared. The one province-level
// enclave, 北京市 in 河北省, has three times that; what is smaller is a gap between districts.
constexpr double kEnclave = 0.5 * (kMapUnitsPerDegree * kSubUnits) * (kMapUnitsPerDegree * kSubUnits);

Multi UnionAll(std::vector<Multi> parts) {
    while (parts.size() > 1) {
        std::vector<Multi> next;
        for (size_t i = 0; i + 1 < parts.size(); i += 2) {
            Multi u;
            bg::union_(parts[i], parts[i + 1], u);
            next.push_back(std::move(u));
        }
        if (parts.size() % 2)
            next.push_back(std::move(parts.back()));
        parts = std::move(next);
    }
    return parts.empty() ? Multi() : std::move(parts[0]);
}

}  // namespace

Outline ProvinceOutline(const OutlineSource& source, const std::vector<uint32_t>& districts, double tolerance) {
    std::vector<Multi> parts;
    for (uint32_t d : districts) {
        const Outline full = source.Merge({d});
        // Simplifying can make a ring cross itself: such a district is taken at full
        // resolution, and one invalid even so is left out rather than spoil the union.
        Multi m;
        for (const double t : {tolerance, 0.0}) {
            std::vector<Chain> rings;
            for (size_t i = 0; i < full.rings.size(); ++i)
                if (Chain c = t > 0 ? Simplify(full.rings[i], true, t, i == 0) : full.rings[i]; !c.empty())
                    rings.push_back(std::move(c));
            m.clear();
            for (const auto& group : GroupRings(rings)) {
                Polygon p;
                p.outer() = ToRing(*group[0]);
                for (size_t h = 1; h < group.size(); ++h)
                    p.inners().push_back(ToRing(*group[h]));
                bg::correct(p);
                m.push_back(std::move(p));
            }
            if (bg::is_valid(m))
                break;
            m.clear();
        }
        parts.push_back(std::move(m));
    }
    Outline out;
    Multi all;
    try {
        all = UnionAll(std::move(parts));
    } catch (const std::exception&) {
        return out;  // Boost.Geometry's overlay refused the input: no outline rather than a wrong one
    }
    // A sliver is a ring narrower on average (twice its area over its length) than the
    // tolerance: a gap or an overlap between two districts' borders, not land.
    auto wide = [&](const Polygon::ring_type& r) {
        const double length = bg::perimeter(r);
        return length > 0 && 2 * std::fabs(bg::area(r)) / length >= tolerance;
    };
    for (const Polygon& p : all) {
        if (!wide(p.outer()))
            continue;
        out.rings.push_back(FromRing(p.outer()));
        for (const auto& hole : p.inners())
            if (wide(hole) && std::fabs(bg::area(hole)) >= kEnclave)
                out.rings.push_back(FromRing(hole));
    }
    return out;
}

}  // namespace lookupd
