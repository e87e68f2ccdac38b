#include "service/outlines.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace lookupd {

namespace {

uint64_t Key(Fixed p) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(p.x)) << 32) | static_cast<uint32_t>(p.y);
}

struct Edge {
    Fixed a, b;
};

// The widest gap, in 1/32 map units (some 2 mm), at which an open line still counts as closed.
constexpr int32_t kGap = 8;

bool Overlap(const Box& a, const Box& b, int32_t margin) {
    return a.minX <= b.maxX + margin && b.minX <= a.maxX + margin && a.minY <= b.maxY + margin &&
           b.minY <= a.maxY + margin;
}

// Squared distance of p from the segment a-b, x scaled by kx.
double SegmentDistance2(Fixed p, Fixed a, Fixed b, double kx, double* t = nullptr) {
    const double ax = a.x * kx, ay = a.y, bx = b.x * kx, by = b.y, px = p.x * kx, py = p.y;
    const double dx = bx - ax, dy = by - ay, len2 = dx * dx + dy * dy;
    double u = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0;
    u = std::clamp(u, 0.0, 1.0);
    if (t)
        *t = u;
    const double ex = ax + u * dx - px, ey = ay + u * dy - py;
    return ex * ex + ey * ey;
}

// Joins directed edges end to start: first from the starts that no edge ends at (the open
// lines), then whatever is left, which closes into rings.
Outline Join(const std::vector<Edge>& edges) {
    std::unordered_multimap<uint64_t, size_t> from;
    std::unordered_map<uint64_t, int> incoming;
    from.reserve(edges.size());
    for (size_t i = 0; i < edges.size(); ++i) {
        from.emplace(Key(edges[i].a), i);
        ++incoming[Key(edges[i].b)];
    }
    std::vector<char> used(edges.size(), 0);
    auto take = [&](Fixed at) -> long {
        auto [b, e] = from.equal_range(Key(at));
        for (auto it = b; it != e; ++it)
            if (!used[it->second]) {
                used[it->second] = 1;
                return static_cast<long>(it->second);
            }
        return -1;
    };
    Outline out;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < edges.size(); ++i) {
            if (used[i] || (pass == 0 && incoming.count(Key(edges[i].a))))
                continue;
            used[i] = 1;
            Chain chain{edges[i].a};
            Fixed at = edges[i].b;
            long next;
            while (at != edges[i].a && (next = take(at)) >= 0) {
                chain.push_back(at);
                at = edges[static_cast<size_t>(next)].b;
            }
            if (at == edges[i].a && chain.size() >= 3) {
                out.rings.push_back(std::move(chain));
            } else if (at == edges[i].a) {
                // a-b-a: a spike of no area, as the clipped pieces leave some; nothing to draw.
            } else {
                chain.push_back(at);
                out.lines.push_back(std::move(chain));
            }
        }
    }
    // Two pieces' crossings of one cut can be rounded a few units apart: lines whose ends are
    // that close are joined, and closed where they come back to their start.
    auto near = [](Fixed a, Fixed b) { return std::abs(a.x - b.x) <= kGap && std::abs(a.y - b.y) <= kGap; };
    for (size_t i = 0; i < out.lines.size();) {
        Chain& line = out.lines[i];
        if (line.size() >= 4 && near(line.back(), line.front())) {
            line.pop_back();
            out.rings.push_back(std::move(line));
            out.lines.erase(out.lines.begin() + static_cast<long>(i));
            continue;
        }
        size_t j = 0;
        while (j < out.lines.size() && (j == i || !near(line.back(), out.lines[j].front())))
            ++j;
        if (j == out.lines.size()) {
            ++i;
            continue;
        }
        line.insert(line.end(), out.lines[j].begin() + 1, out.lines[j].end());
        out.lines.erase(out.lines.begin() + static_cast<long>(j));
        if (j < i)
            --i;
    }
    return out;
}

bool Inside(const Chain& ring, Fixed p) {
    bool in = false;
    for (size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
        const Fixed a = ring[i], b = ring[j];
        if ((a.y > p.y) != (b.y > p.y) &&
            p.x < a.x + static_cast<double>(b.x - a.x) * (p.y - a.y) / static_cast<double>(b.y - a.y))
            in = !in;
    }
    return in;
}

}  // namespace

std::vector<std::vector<const Chain*>> GroupRings(const std::vector<Chain>& rings) {
    std::vector<Box> boxes;
    for (const Chain& r : rings)
        boxes.push_back(Bounds({r}));
    auto contains = [&](size_t outer, size_t inner) {
        const Box& o = boxes[outer];
        const Box& i = boxes[inner];
        return outer != inner && o.minX <= i.minX && o.minY <= i.minY && o.maxX >= i.maxX && o.maxY >= i.maxY &&
               Inside(rings[outer], rings[inner][0]);
    };
    std::vector<int> depth(rings.size(), 0);
    for (size_t i = 0; i < rings.size(); ++i)
        for (size_t o = 0; o < rings.size(); ++o)
            depth[i] += contains(o, i);
    std::vector<std::vector<const Chain*>> out;
    std::vector<long> polygonOf(rings.size(), -1);
    for (size_t i = 0; i < rings.size(); ++i)
        if (depth[i] % 2 == 0) {
            polygonOf[i] = static_cast<long>(out.size());
            out.push_back({&rings[i]});
        }
    for (size_t i = 0; i < rings.size(); ++i) {
        if (depth[i] % 2 == 0)
            continue;
        size_t o = 0;
        while (o < rings.size() && !(depth[o] == depth[i] - 1 && contains(o, i)))
            ++o;
        // A ring whose first vertex lies on another's border may find no outline around it: it
        // is kept as an outline of its own rather than lost.
        if (o < rings.size())
            out[static_cast<size_t>(polygonOf[o])].push_back(&rings[i]);
        else
            out.push_back({&rings[i]});
    }
    return out;
}

size_t Outline::VertexCount() const {
    size_t n = 0;
    for (const Chain& c : rings)
        n += c.size();
    for (const Chain& c : lines)
        n += c.size();
    return n;
}

void OutlineSource::Prepare() const {
    std::call_once(m_once, [this] {
        const size_t districts = m_index.DistrictCount();
        m_pieces.assign(districts, {});
        m_boxes.assign(districts, Box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN});
        for (size_t p = 0; p < m_index.PieceCount(); ++p) {
            const uint32_t d = m_index.PieceDistrict(p);
            if (d >= districts)
                continue;
            m_pieces[d].push_back(static_cast<uint32_t>(p));
            const std::vector<FixedRing> rings = m_index.PieceRings(p);
            if (rings.empty())
                continue;
            const Box b = Bounds(rings);
            Box& all = m_boxes[d];
            all = Box{std::min(all.minX, b.minX), std::min(all.minY, b.minY), std::max(all.maxX, b.maxX),
                      std::max(all.maxY, b.maxY)};
        }
    });
}

Outline OutlineSource::Merge(const std::vector<uint32_t>& districts) const {
    Prepare();
    std::vector<Edge> edges;
    for (uint32_t d : districts) {
        if (d >= m_pieces.size())
            continue;
        for (uint32_t p : m_pieces[d])
            for (const FixedRing& ring : m_index.PieceRings(p))
                for (size_t i = 0; i < ring.size(); ++i) {
                    const Fixed a = ring[i], b = ring[(i + 1) % ring.size()];
                    if (a != b && !IsSeam(a, b))
                        edges.push_back(Edge{a, b});
                }
    }
    return Join(edges);
}

std::vector<uint32_t> OutlineSource::Neighbours(uint32_t district) const {
    Prepare();
    std::vector<uint32_t> out;
    if (district >= m_boxes.size())
        return out;
    // The district's border vertices in cells of kTouch: a vertex near another outline's has
    // it in its own cell or one of the eight around.
    std::unordered_set<uint64_t> cells;
    std::unordered_multimap<uint64_t, Fixed> vertices;
    const Outline own = Merge({district});
    for (const auto* set : {&own.rings, &own.lines})
        for (const Chain& c : *set)
            for (Fixed p : c)
                vertices.emplace(Key(Fixed{p.x / kTouch, p.y / kTouch}), p);
    const Box box = m_boxes[district];
    for (uint32_t d = 0; d < m_boxes.size(); ++d) {
        if (d == district || m_pieces[d].empty() || !Overlap(box, m_boxes[d], kTouch))
            continue;
        int near = 0;
        const Outline other = Merge({d});
        for (const auto* set : {&other.rings, &other.lines})
            for (const Chain& c : *set)
                for (Fixed p : c) {
                    bool hit = false;
                    for (int dx = -1; dx <= 1 && !hit; ++dx)
                        for (int dy = -1; dy <= 1 && !hit; ++dy) {
                            auto [b, e] = vertices.equal_range(Key(Fixed{p.x / kTouch + dx, p.y / kTouch + dy}));
                            for (auto it = b; it != e && !hit; ++it)
                                hit = std::abs(static_cast<int64_t>(it->second.x) - p.x) <= kTouch &&
                                      std::abs(static_cast<int64_t>(it->second.y) - p.y) <= kTouch;
                        }
                    if (hit && ++near >= 2)
                        goto found;
                }
        continue;
    found:
        out.push_back(d);
    }
    return out;
}

Chain Simplify(const Chain& chain, bool closed, double tolerance, bool keep) {
    const size_t n = chain.size();
    if (n < 3)
        return closed && !keep ? Chain() : chain;
    // A ring is cut at its first vertex and the vertex farthest from it: two open lines.
    size_t far = n - 1;
    if (closed) {
        double best = -1;
        for (size_t i = 1; i < n; ++i) {
            const double dx = chain[i].x - chain[0].x, dy = chain[i].y - chain[0].y;
            if (dx * dx + dy * dy > best) {
                best = dx * dx + dy * dy;
                far = i;
            }
        }
    }
    // By vertex; a ring's second half ends at n, its first vertex again, which is marked already.
    std::vector<char> mark(n, 0);
    // An open line keeps both ends; a ring its two cut points only.
    mark[n - 1] = !closed;
    mark[0] = mark[far] = 1;
    auto at = [&](size_t i) { return chain[i % n]; };
    const double tol2 = tolerance * tolerance;
    std::vector<std::pair<size_t, size_t>> todo{{0, far}};
    if (closed)
        todo.emplace_back(far, n);
    size_t widest = 0;
    double widestD = -1;
    while (!todo.empty()) {
        auto [b, e] = todo.back();
        todo.pop_back();
        double best = -1;
        size_t pick = b;
        for (size_t i = b + 1; i < e; ++i) {
            const double d = SegmentDistance2(at(i), at(b), at(e), 1.0);
            if (d > best) {
                best = d;
                pick = i;
            }
        }
        if (pick == b)
            continue;
        if (best > widestD) {
            widestD = best;
            widest = pick;
        }
        if (best > tol2) {
            mark[pick] = 1;
            todo.emplace_back(b, pick);
            todo.emplace_back(pick, e);
        }
    }
    Chain out;
    for (size_t i = 0; i < n; ++i)
        if (mark[i])
            out.push_back(chain[i]);
    if (closed && out.size() < 3) {
        if (!keep || widestD < 0)
            return Chain();
        out = {chain[0], chain[std::min(widest, far)], chain[std::max(widest, far) % n]};
    }
    return out;
}

bool NearestOnOutline(const Outline& outline, Fixed p, Fixed& nearest) {
    const double kx = std::cos(p.y / (kMapUnitsPerDegree * kSubUnits) * 3.14159265358979323846 / 180.0);
    double best = std::numeric_limits<double>::infinity();
    auto edge = [&](Fixed a, Fixed b) {
        double t;
        const double d = SegmentDistance2(p, a, b, kx, &t);
        if (d < best) {
            best = d;
            nearest = Fixed{static_cast<int32_t>(std::lround(a.x + t * (b.x - a.x))),
                            static_cast<int32_t>(std::lround(a.y + t * (b.y - a.y)))};
        }
    };
    for (const Chain& c : outline.rings)
        for (size_t i = 0; i < c.size(); ++i)
            edge(c[i], c[(i + 1) % c.size()]);
    for (const Chain& c : outline.lines)
        for (size_t i = 0; i + 1 < c.size(); ++i)
            edge(c[i], c[i + 1]);
    return std::isfinite(best);
}

}  // namespace lookupd
