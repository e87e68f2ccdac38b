// The converter's building blocks: the data package's compact strings and the piece cutter.
#include <gtest/gtest.h>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/linestring.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/polygon.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "index/tests/small_index.h"
#include "indexer/compact_decode.h"
#include "indexer/piece_cutter.h"

using namespace lookupd;
using namespace lookupd::testing;
namespace bg = boost::geometry;

// --- The compact strings of the Shanghai and Chongqing files -----------------------------
// Expected values worked out by hand from the encoding: code unit minus 64, zig-zag, running sum.

TEST(CompactDecode, DeltasFromTheRingOffsetInUtf16UnitsAndBrokenInput) {
    std::vector<std::pair<double, double>> pts;
    // The first three vertices of Huangpu district in the Shanghai file.
    ASSERT_TRUE(DecodeCompactRing("@@AHV@", 124373, 31970, pts));
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_EQ(pts[0], std::make_pair(124373 / 1024.0, 31970 / 1024.0));
    EXPECT_EQ(pts[1], std::make_pair(124372 / 1024.0, 31974 / 1024.0));  // 'A' is -1, 'H' is +4
    EXPECT_EQ(pts[2], std::make_pair(124383 / 1024.0, 31974 / 1024.0));  // 'V' is +11

    // Code units, not bytes: U+01C0 (two UTF-8 bytes) is unit 448: 384 after the bias, +192 after zig-zag.
    ASSERT_TRUE(DecodeCompactRing("\xC7\x80@", 0, 0, pts));
    ASSERT_EQ(pts.size(), 1u);
    EXPECT_EQ(pts[0].first, 192 / 1024.0);
    // U+1F600 is a surrogate pair: two units, hence one whole vertex.
    ASSERT_TRUE(DecodeCompactRing("\xF0\x9F\x98\x80", 0, 0, pts));
    EXPECT_EQ(pts.size(), 1u);

    EXPECT_FALSE(DecodeCompactRing("@@A", 0, 0, pts));      // half a vertex
    EXPECT_FALSE(DecodeCompactRing("@\xC7", 0, 0, pts));    // cut UTF-8 sequence
    EXPECT_FALSE(DecodeCompactRing("@\x80@@", 0, 0, pts));  // stray continuation byte
    EXPECT_TRUE(pts.empty());
}

// --- Cutting polygons into pieces ----------------------------------------------------------
// Whatever the shape, the pieces must answer "is this point inside" exactly as the whole polygon.

TEST(Pieces, CuttingKeepsEveryPointOnItsSide) {
    // A 120-point star (concave everywhere) with a square hole, like a county with an enclave.
    FixedRing star;
    for (int i = 0; i < 120; ++i) {
        double a = i * 2 * 3.14159265358979 / 120;
        double r = (i % 2) ? 3000 : 10000;
        star.push_back(At(std::lround(50000 + r * std::cos(a)), std::lround(50000 + r * std::sin(a))));
    }
    FixedRing hole = Square(49000, 49000, 51000, 51000);
    std::vector<Piece> pieces;
    SplitPolygon({star, hole}, 12, pieces);
    ASSERT_GT(pieces.size(), 8u);

    using P = bg::model::d2::point_xy<double>;
    using Poly = bg::model::polygon<P, false, false>;
    auto toPoly = [](const std::vector<FixedRing>& rings) {
        Poly p;
        for (size_t i = 0; i < rings.size(); ++i) {
            auto& ring = i == 0 ? p.outer() : (p.inners().emplace_back(), p.inners().back());
            for (Fixed f : rings[i])
                ring.emplace_back(f.x, f.y);
        }
        return p;
    };
    Poly whole = toPoly({star, hole});
    // The nearest-border search measures to every edge that is not a seam, so each of them
    // must lie on the real border (up to the crossings' rounding to even, a unit at each end).
    using Line = bg::model::linestring<P>;
    Line borders[2];
    for (int i = 0; i < 2; ++i) {
        const FixedRing& ring = i == 0 ? star : hole;
        for (size_t k = 0; k <= ring.size(); ++k)
            borders[i].emplace_back(ring[k % ring.size()].x, ring[k % ring.size()].y);
    }
    std::vector<Poly> parts;
    for (const Piece& pc : pieces) {
        EXPECT_LE(pc.rings.front().size(), 12u + 8u) << "a piece kept too many vertices";
        parts.push_back(toPoly(pc.rings));
        for (const FixedRing& r : pc.rings)
            for (size_t i = 0; i < r.size(); ++i) {
                Fixed a = r[i], b = r[(i + 1) % r.size()];
                P mid((a.x + double(b.x)) / 2, (a.y + double(b.y)) / 2);
                if (IsSeam(a, b))
                    continue;
                EXPECT_LE(std::min(bg::distance(mid, borders[0]), bg::distance(mid, borders[1])), 3.0)
                    << "an edge off the border: " << a.x << "," << a.y << " - " << b.x << "," << b.y;
            }
    }
    int inside = 0;
    for (int64_t y = 39000; y <= 61000; y += 370) {
        for (int64_t x = 39000; x <= 61000; x += 370) {
            P pt(static_cast<double>(x * kSubUnits), static_cast<double>(y * kSubUnits));
            bool expect = bg::within(pt, whole);
            int hits = 0;
            for (const Poly& part : parts)
                hits += bg::within(pt, part) ? 1 : 0;
            ASSERT_EQ(hits, expect ? 1 : 0) << "point " << x << "," << y;
            inside += expect;
        }
    }
    EXPECT_GT(inside, 300);  // the grid really sampled the star
}

TEST(Pieces, NeighboursGetTheSameCrossingOnASharedEdge) {
    // Two triangles sharing the diagonal, walked in opposite directions.
    FixedRing a = {At(0, 0), At(9000, 0), At(9000, 7000)};
    FixedRing b = {At(0, 0), At(9000, 7000), At(0, 7000)};
    Box cut{-1, -1, 4500 * kSubUnits + 1, 8000 * kSubUnits + 1};
    FixedRing ca = ClipRing(a, cut), cb = ClipRing(b, cut);
    std::vector<Fixed> onCut;
    for (const FixedRing* r : {&ca, &cb})
        for (Fixed f : *r)
            if (f.x == cut.maxX && f.y != 0 && f.y != 7000 * kSubUnits)
                onCut.push_back(f);
    ASSERT_EQ(onCut.size(), 2u);
    EXPECT_EQ(onCut[0], onCut[1]);
    EXPECT_EQ(onCut[0].y % 2, 0);  // even, so never on a horizontal cut
}
