#include "indexer/piece_cutter.h"

#include <algorithm>
#include <cmath>

namespace lookupd {

bool TidyRing(FixedRing& ring) {
    ring.erase(std::unique(ring.begin(), ring.end()), ring.end());
    while (ring.size() > 1 && ring.front() == ring.back())
        ring.pop_back();
    return ring.size() >= 3;
}

namespace {

enum class Side { kLeft, kRight, kBottom, kTop };

bool Inside(Fixed p, Side side, int32_t c) {
    switch (side) {
        case Side::kLeft:
            return p.x > c;
        case Side::kRight:
            return p.x < c;
        case Side::kBottom:
            return p.y > c;
        case Side::kTop:
            return p.y < c;
    }
    return false;
}

int32_t RoundEven(double v) {
    return static_cast<int32_t>(std::nearbyint(v / 2.0) * 2.0);
}

// Where the edge a-b crosses the cut line. The endpoints are ordered first so
// that the same edge walked the other way, as in the neighbouring district,
// yields the same point.
Fixed Crossing(Fixed a, Fixed b, Side side, int32_t c) {
    if (b.x < a.x || (b.x == a.x && b.y < a.y))
        std::swap(a, b);
    // An edge along an earlier cut crosses this one exactly at the corner of the two cuts:
    // rounding that corner to even would tilt the seam, and a tilted seam reads as a border.
    if ((side == Side::kLeft || side == Side::kRight) && a.y == b.y)
        return Fixed{c, a.y};
    if ((side == Side::kBottom || side == Side::kTop) && a.x == b.x)
        return Fixed{a.x, c};
    if (side == Side::kLeft || side == Side::kRight) {
        double t = (static_cast<double>(c) - a.x) / (static_cast<double>(b.x) - a.x);
        return Fixed{c, RoundEven(a.y + t * (static_cast<double>(b.y) - a.y))};
    }
    double t = (static_cast<double>(c) - a.y) / (static_cast<double>(b.y) - a.y);
    return Fixed{RoundEven(a.x + t * (static_cast<double>(b.x) - a.x)), c};
}

FixedRing ClipSide(const FixedRing& in, Side side, int32_t c) {
    FixedRing out;
    if (in.empty())
        return out;
    out.reserve(in.size() + 4);
    Fixed prev = in.back();
    bool prevIn = Inside(prev, side, c);
    for (Fixed cur : in) {
        bool curIn = Inside(cur, side, c);
        if (curIn != prevIn)
            out.push_back(Crossing(prev, cur, side, c));
        if (curIn)
            out.push_back(cur);
        prev = cur;
        prevIn = curIn;
    }
    return out;
}

double TwiceArea(const FixedRing& r) {
    double a = 0;
    for (size_t i = 0, j = r.size() - 1; i < r.size(); j = i++)
        a += static_cast<double>(r[j].x) * r[i].y - static_cast<double>(r[i].x) * r[j].y;
    return a;
}

size_t CountVertices(const std::vector<FixedRing>& rings) {
    size_t n = 0;
    for (const FixedRing& r : rings)
        n += r.size();
    return n;
}

// Clipped rings that enclose nothing (all of it folded onto the cell's edge) are dropped;
// without an outline the cell lies outside the polygon.
bool ClipPolygon(const std::vector<FixedRing>& rings, const Box& box, std::vector<FixedRing>& out) {
    out.clear();
    for (size_t i = 0; i < rings.size(); ++i) {
        FixedRing r = ClipRing(rings[i], box);
        TidyRing(r);
        if (r.size() < 3 || TwiceArea(r) == 0) {
            if (i == 0)
                return false;
            continue;
        }
        out.push_back(std::move(r));
    }
    return true;
}

int32_t OddMid(int32_t lo, int32_t hi) {
    int64_t m = (static_cast<int64_t>(lo) + hi) / 2;
    return static_cast<int32_t>(m | 1);
}

void SplitInto(const std::vector<FixedRing>& rings, const Box& cell, size_t maxVertices, std::vector<Piece>& out) {
    int64_t w = static_cast<int64_t>(cell.maxX) - cell.minX;
    int64_t h = static_cast<int64_t>(cell.maxY) - cell.minY;
    if (CountVertices(rings) <= maxVertices || std::max(w, h) < 64) {
        out.push_back(Piece{rings});
        return;
    }
    Box a = cell, b = cell;
    if (w >= h) {
        a.maxX = b.minX = OddMid(cell.minX, cell.maxX);
    } else {
        a.maxY = b.minY = OddMid(cell.minY, cell.maxY);
    }
    std::vector<FixedRing> part;
    if (ClipPolygon(rings, a, part))
        SplitInto(part, a, maxVertices, out);
    if (ClipPolygon(rings, b, part))
        SplitInto(part, b, maxVertices, out);
}

}  // namespace

FixedRing ClipRing(const FixedRing& ring, const Box& box) {
    FixedRing r = ClipSide(ring, Side::kLeft, box.minX);
    r = ClipSide(r, Side::kRight, box.maxX);
    r = ClipSide(r, Side::kBottom, box.minY);
    return ClipSide(r, Side::kTop, box.maxY);
}

void SplitPolygon(const std::vector<FixedRing>& rings, size_t maxVertices, std::vector<Piece>& out) {
    if (rings.empty())
        return;
    Box b = Bounds(rings);
    // An odd cell one unit outside the polygon: clipping to it changes nothing.
    Box cell{(b.minX - 1) | 1, (b.minY - 1) | 1, (b.maxX + 1) | 1, (b.maxY + 1) | 1};
    if (cell.minX >= b.minX)
        cell.minX -= 2;
    if (cell.minY >= b.minY)
        cell.minY -= 2;
    SplitInto(rings, cell, maxVertices, out);
}

}  // namespace lookupd
