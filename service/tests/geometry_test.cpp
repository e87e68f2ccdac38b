// The index's building blocks on small shapes whose answers are known by construction.
#include <gtest/gtest.h>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/linestring.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/polygon.hpp>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <thread>

#include "answer.h"
#include "compact_decode.h"
#include "index_format.h"
#include "pieces.h"
#include "place_index.h"

using namespace lookupd;
namespace bg = boost::geometry;

namespace {

// Per process: the suite may run beside another build's.
std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "lookupd_" + std::to_string(getpid()) + "_" + name;
}

// Fixed coordinates for a position given in map units.
Fixed At(int64_t x, int64_t y) {
    return Fixed{static_cast<int32_t>(x * kSubUnits), static_cast<int32_t>(y * kSubUnits)};
}

FixedRing Square(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    return {At(x0, y0), At(x1, y0), At(x1, y1), At(x0, y1)};
}

}  // namespace

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
    FixedBox cut{-1, -1, 4500 * kSubUnits + 1, 8000 * kSubUnits + 1};
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

// --- The index file and lookups ------------------------------------------------------------

class SmallIndex : public ::testing::Test {
protected:
    // West (0) and East (1) share the edge x = 41000000; East has a hole that holds Enclave (2).
    void SetUp() override {
        std::vector<District> ds(3);
        ds[0].name = "西区";
        ds[1].name = "东区";
        ds[2].name = "飞地";
        ds[0].code = 110101;
        ds[1].code = 110102;  // the enclave has none
        SplitPolygon({Square(40000000, 12000000, 41000000, 13000000)}, 32, ds[0].pieces);
        SplitPolygon({Square(41000000, 12000000, 42000000, 13000000), Square(41400000, 12400000, 41600000, 12600000)},
                     32, ds[1].pieces);
        SplitPolygon({Square(41450000, 12450000, 41550000, 12550000)}, 32, ds[2].pieces);
        m_path = TempPath("small.idx");
        ASSERT_EQ(WriteIndex(m_path, Datum::kWgs84, ds), "");
        ASSERT_EQ(m_index.Load(m_path), "");
        ASSERT_EQ(m_cells.Load(m_path), "");
        m_cells.BuildCells();
    }
    void TearDown() override { std::remove(m_path.c_str()); }

    // The tree's answer, which the grid for bulk lookups must repeat.
    std::string NameAt(int64_t x, int64_t y, int64_t radius = 0) {
        Match m = m_index.Lookup(x, y, radius), c = m_cells.Lookup(x, y, radius);
        EXPECT_TRUE(c.kind == m.kind && c.district == m.district) << "the grid answers otherwise at " << x << "," << y;
        return m.kind == Match::kNone ? "-"
                                      : std::string(m_index.Name(m.district)) + (m.kind == Match::kNear ? "~" : "");
    }

    std::string m_path;
    PlaceIndex m_index, m_cells;
};

TEST_F(SmallIndex, ContainmentHolesEdgesAndVertices) {
    EXPECT_EQ(NameAt(40500000, 12500000), "西区");
    EXPECT_EQ(NameAt(41800000, 12500000), "东区");
    EXPECT_EQ(NameAt(41500000, 12500000), "飞地");              // inside the hole's enclave
    EXPECT_EQ(NameAt(41420000, 12500000), "-");                 // in the hole, outside the enclave
    EXPECT_EQ(NameAt(41000000, 12500000), "西区");              // on the shared edge: first listed
    EXPECT_EQ(NameAt(42000000, 13000000), "东区");              // on an outer vertex
    EXPECT_EQ(NameAt(41400000, 12500000), "东区");              // on the hole's edge belongs to East
    EXPECT_EQ(NameAt(39999999, 12500000), "-");                 // one unit outside
    EXPECT_EQ(NameAt(2147483647LL, -2147483648LL, 6000), "-");  // far off the globe
    // Each district keeps its own code beside its name.
    EXPECT_EQ(m_index.Code(m_index.Lookup(41800000, 12500000, 0).district), 110102u);
    EXPECT_EQ(m_index.Code(m_index.Lookup(41500000, 12500000, 0).district), 0u);
}

TEST_F(SmallIndex, NearestBorderWithinRadius) {
    // 3000 units north of East's top edge, at 34.7 degrees north: about 927 metres.
    Match m = m_index.Lookup(41800000, 13003000, 6000);
    ASSERT_EQ(m.kind, Match::kNear);
    EXPECT_EQ(m_index.Name(m.district), "东区");
    EXPECT_NEAR(m.metres, 3000 * kMetresPerMapUnit, 1.0);
    // East of the box the distance runs along a parallel: shorter by cos(latitude).
    m = m_index.Lookup(42003000, 12500000, 6000);
    ASSERT_EQ(m.kind, Match::kNear);
    EXPECT_NEAR(m.metres, 3000 * kMetresPerMapUnit * std::cos(12500000 / 360000.0 * 3.14159265358979 / 180), 1.0);
    EXPECT_EQ(NameAt(41800000, 13003000, 2999), "-");  // just beyond the radius
    EXPECT_EQ(NameAt(41800000, 13003000, 0), "-");
    // A hole's edge counts as a border: from the gap inside the hole, the enclave is nearer.
    EXPECT_EQ(NameAt(41430000, 12500000, 100000), "飞地~");
    // Metres up to the last whole one below a kilometre, then kilometres (GBK: 米, 公里).
    EXPECT_NE(Answerer::NearText("", 999.4).find("999\xC3\xD7)"), std::string::npos);
    EXPECT_NE(Answerer::NearText("", 1000.0).find("1.0\xB9\xAB\xC0\xEF)"), std::string::npos);
    // Radii past the cap search no farther than the cap.
    EXPECT_EQ(NameAt(41800000, 13000000 + PlaceIndex::kMaxRadius + 10, 2147483647LL), "-");
    EXPECT_EQ(NameAt(41800000, 13000000 + PlaceIndex::kMaxRadius - 10, 2147483647LL), "东区~");
}

// Rings lie one after another in the file: the border search must stop at a ring's closing
// vertex, or the step to the next ring's first vertex would be taken for a border.
TEST(IndexRings, NearestBorderStopsAtEachRingsEnd) {
    std::vector<District> ds(2);
    ds[0].name = "西条";
    ds[1].name = "东条";
    SplitPolygon({Square(40000000, 12000000, 40010000, 12000100)}, 32, ds[0].pieces);
    SplitPolygon({Square(40100000, 12000000, 40110000, 12000100)}, 32, ds[1].pieces);
    std::string path = TempPath("strips.idx");
    ASSERT_EQ(WriteIndex(path, Datum::kWgs84, ds), "");
    PlaceIndex index;
    ASSERT_EQ(index.Load(path), "");
    // 2000 units east of the west strip, along a parallel; the gap to the east strip is far
    // beyond the radius.
    Match m = index.Lookup(40012000, 12000050, 6000);
    EXPECT_EQ(m.kind == Match::kNear ? index.Name(m.district) : "-", "西条");
    EXPECT_NEAR(m.metres, 2000 * kMetresPerMapUnit * std::cos(12000050 / 360000.0 * 3.14159265358979 / 180), 1.0);
    std::remove(path.c_str());
}

// The grid answers a cell that no border crosses from the cell's centre. On shapes cut into
// many pieces (an outline with a zigzag side and a hole some cells wide, a neighbour along the
// zigzag, an island in the hole), every position of a fine sweep gets the tree's answer.
TEST(IndexGrid, CellsAnswerAsTheTree) {
    FixedRing zigzag;  // the shared border, south to north
    for (int k = 0; k <= 64; ++k)
        zigzag.push_back(At(40600000 + (k % 2 ? 30000 : -30000), 12000000 + k * 1000000 / 64));
    // East reaches lower than West, whose pieces come first in the file.
    FixedRing west{At(38000000, 13000000), At(38000000, 12000000)};
    FixedRing east{At(40600000, 11900000), At(41200000, 11900000)};
    west.insert(west.end(), zigzag.begin(), zigzag.end());
    east.push_back(At(41200000, 13000000));
    east.insert(east.end(), zigzag.rbegin(), zigzag.rend());
    std::vector<District> ds(3);
    ds[0].name = "西";
    ds[1].name = "东";
    ds[2].name = "岛";
    SplitPolygon({west, Square(38500000, 12300000, 39500000, 12700000)}, 8, ds[0].pieces);
    SplitPolygon({east}, 8, ds[1].pieces);
    SplitPolygon({Square(38900000, 12450000, 39100000, 12550000)}, 8, ds[2].pieces);
    const std::string path = TempPath("grid.idx");
    ASSERT_EQ(WriteIndex(path, Datum::kWgs84, ds), "");
    PlaceIndex tree, grid;
    ASSERT_EQ(tree.Load(path), "");
    ASSERT_EQ(grid.Load(path), "");
    std::remove(path.c_str());
    // The grid is built while the first row is looked up, as in the service.
    std::thread builder([&grid] { grid.BuildCells(); });
    int inside = 0;
    for (int64_t y = 11880000; y <= 13020000; y += 5000) {
        // A row at a time, as the batch tool asks.
        std::vector<PlaceIndex::Query> row;
        for (int64_t x = 37980000; x <= 41220000; x += 5000)
            row.push_back({x, y});
        std::vector<Match> got(row.size());
        grid.LookupMany(row.data(), row.size(), 6000, got.data());
        if (builder.joinable())
            builder.join();
        for (size_t k = 0; k < row.size(); ++k) {
            Match want = tree.Lookup(row[k].x, y, 6000);
            ASSERT_TRUE(got[k].kind == want.kind && got[k].district == want.district) << row[k].x << "," << y;
            inside += want.kind == Match::kInside;
        }
    }
    EXPECT_GT(inside, 100000);  // the sweep is mostly inside, where the grid's shortcut works
}

TEST_F(SmallIndex, DamagedFilesAreRefusedWithAReason) {
    std::ifstream in(m_path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto tryLoad = [&](const std::string& content) {
        std::string p = TempPath("damaged.idx");
        std::ofstream(p, std::ios::binary) << content;
        PlaceIndex idx;
        std::string err = idx.Load(p);
        std::remove(p.c_str());
        EXPECT_EQ(idx.DistrictCount(), 0u);
        return err;
    };
    struct {
        size_t at;  // byte to change; npos: the file as given below
        std::string content, says;
    } cases[] = {
        {8, "", "version 4, expected 5"},             // the version field: an index of the format before this one
        {60, "", "checksum mismatch in its tables"},  // the name table, right after the 48-byte header
        {std::string::npos, bytes.substr(0, bytes.size() - 9), "does not match"},
        {std::string::npos, "PK\x03\x04" + std::string(200, 'z'), "signature"},
        {std::string::npos, "", "too short"},
        {std::string::npos, bytes.substr(0, 50), "too short"},  // a header, but no room for the checksum
    };
    for (const auto& c : cases) {
        std::string content = c.content;
        if (c.at != std::string::npos) {
            content = bytes;
            content[c.at] = c.at == 8 ? 4 : content[c.at] ^ 0x10;
        }
        EXPECT_NE(tryLoad(content).find(c.says), std::string::npos) << c.says;
    }
    // Tables that pass their checksum but contradict the file: resealed, and still refused.
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const Layout l = LayoutOf(h);
    for (auto [at, says] : {std::pair<uint64_t, const char*>{l.nameOffsets, "name table does not match its blob"},
                            {l.streamOffsets, "piece table does not match its data"}}) {
        std::string content = bytes;
        content[at] ^= 0x10;
        ASSERT_TRUE(ResealIndex(content));
        EXPECT_NE(tryLoad(content).find(says), std::string::npos) << says;
    }
    // A leaf box that spans half the globe: its piece is damaged, never decoded against it.
    std::string wide = bytes;
    Box box;
    std::memcpy(&box, wide.data() + l.tree, sizeof box);
    box.maxY = std::numeric_limits<int32_t>::max();
    std::memcpy(&wide[l.tree], &box, sizeof box);
    ASSERT_TRUE(ResealIndex(wide));
    const std::string p = TempPath("wide.idx");
    std::ofstream(p, std::ios::binary) << wide;
    PlaceIndex widened;
    const std::string err = widened.Load(p);
    std::remove(p.c_str());
    ASSERT_EQ(err, "");
    EXPECT_EQ(widened.Lookup(box.minX / kSubUnits + 1, box.minY / kSubUnits + 1, 0).kind, Match::kError);

    PlaceIndex idx;
    EXPECT_NE(idx.Load(TempPath("no-such-file.idx")).find("cannot open"), std::string::npos);
    EXPECT_EQ(idx.Lookup(40500000, 12500000, 6000).kind, Match::kNone);  // nothing loaded, nothing found
}

TEST_F(SmallIndex, DamagedPieceIsAnErrorForItsLookupsOnly) {
    // Opening reads no geometry, so a damaged piece is found by the lookups that need it:
    // each of them must fail, and every other must answer as from the intact file.
    std::ifstream in(m_path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The pieces' bytes follow the names (the last is 飞地), from the next multiple of eight.
    const size_t names = bytes.find("飞地");
    ASSERT_NE(names, std::string::npos);
    bytes[(names + std::strlen("飞地") + 7) / 8 * 8 + 2] ^= 0x04;  // the first piece's first vertex
    const std::string p = TempPath("piece.idx");
    std::ofstream(p, std::ios::binary) << bytes;
    PlaceIndex damaged, damagedCells;
    ASSERT_EQ(damaged.Load(p), "");
    ASSERT_EQ(damagedCells.Load(p), "");
    damagedCells.BuildCells();
    std::remove(p.c_str());
    EXPECT_NE(damaged.Verify().find("checksum mismatch"), std::string::npos);
    EXPECT_EQ(m_index.Verify(), "");
    for (const PlaceIndex* index : {&damaged, &damagedCells}) {
        int errors = 0, answers = 0;
        for (int64_t y = 11990000; y <= 13010000; y += 20000) {
            std::vector<PlaceIndex::Query> row;
            for (int64_t x = 39990000; x <= 42010000; x += 20000)
                row.push_back({x, y});
            // Twice, first the whole row at once: a piece found damaged stays damaged, however
            // often it is met.
            std::vector<Match> first(row.size());
            index->LookupMany(row.data(), row.size(), 6000, first.data());
            for (size_t k = 0; k < row.size(); ++k) {
                const int64_t x = row[k].x;
                Match got = index->Lookup(x, y, 6000), want = m_index.Lookup(x, y, 6000);
                ASSERT_TRUE(got.kind == first[k].kind && got.district == first[k].district) << x << "," << y;
                if (got.kind == Match::kError) {
                    ++errors;
                    continue;
                }
                ++answers;
                ASSERT_EQ(got.kind, want.kind) << x << "," << y;
                ASSERT_EQ(got.district, want.district) << x << "," << y;
            }
        }
        EXPECT_GT(errors, 0);
        EXPECT_GT(answers, errors);
    }
    Answerer a(damaged);
    bool sawError = false;
    for (int64_t x = 40010000; x < 42000000 && !sawError; x += 20000)
        sawError =
            a.Answer({{"x", std::to_string(x)}, {"y", "12500000"}, {"radius", "0"}, {"service", "gettext"}}).status ==
            500;
    EXPECT_TRUE(sawError) << "no request on the damaged piece's row reached it";
}

// --- Parameters and texts ------------------------------------------------------------------

TEST_F(SmallIndex, ParametersAreCheckedOneByOne) {
    Answerer a(m_index);
    auto ask = [&](std::multimap<std::string, std::string> p) { return a.Answer(p); };
    std::multimap<std::string, std::string> ok = {
        {"x", "40500000"}, {"y", "12500000"}, {"radius", "6000"}, {"service", "gettext"}};
    Reply r = ask(ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "西区");  // the index's bytes, as they are

    struct Bad {
        const char* key;
        const char* value;  // nullptr: leave the key out
        const char* says;
    } bad[] = {
        {"x", nullptr, "x is missing"},
        {"y", "", "y is not"},
        {"y", "12.5", "y is not"},
        {"x", "+40500000", "x is not"},
        {"x", " 40500000", "x is not"},
        {"x", "2147483648", "x is not"},
        {"y", "-2147483649", "y is not"},
        {"radius", "-1", "radius is negative"},
        {"radius", nullptr, "radius is missing"},
        {"service", "getpos", "service must be gettext"},
        {"service", nullptr, "service is missing"},
    };
    for (const Bad& b : bad) {
        auto p = ok;
        p.erase(b.key);
        if (b.value)
            p.emplace(b.key, b.value);
        r = ask(p);
        EXPECT_EQ(r.status, 400) << b.key;
        EXPECT_NE(r.body.find(b.says), std::string::npos) << r.body;
    }
    // The 32-bit limits themselves are valid numbers, for a place nobody knows.
    auto p = ok;
    p.erase("x");
    p.emplace("x", "-2147483648");
    EXPECT_EQ(ask(p).status, 200);
}
