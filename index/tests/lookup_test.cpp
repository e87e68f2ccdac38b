// The index reader's lookups on small shapes whose answers are known by construction: the
// tree, the grid and lookups in bulk, nearest borders and damaged pieces.
#include <algorithm>
#include <cmath>
#include <thread>

#include "index/answer_text.h"
#include "index/tests/small_index.h"

using namespace lookupd;
using namespace lookupd::testing;

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
    EXPECT_EQ(NameAt(42007000, 12500000, 6000), "东区~");  // 7000 units east: 5754 along the parallel
    // North of the corner West and East share, both are as near: the first listed wins.
    EXPECT_EQ(NameAt(41000000, 13003000, 6000), "西区~");
    EXPECT_EQ(NameAt(41800000, 13003000, 2999), "-");  // just beyond the radius
    EXPECT_EQ(NameAt(41800000, 13003000, 0), "-");
    // A hole's edge counts as a border: from the gap inside the hole, the enclave is nearer.
    EXPECT_EQ(NameAt(41430000, 12500000, 100000), "飞地~");
    // Metres up to the last whole one below a kilometre, then kilometres (GBK: 米, 公里).
    EXPECT_NE(NearText("", 999.4).find("999\xC3\xD7)"), std::string::npos);
    EXPECT_NE(NearText("", 1000.0).find("1.0\xB9\xAB\xC0\xEF)"), std::string::npos);
    // Radii past the cap search no farther than the cap.
    EXPECT_EQ(NameAt(41800000, 13000000 + PlaceIndex::kMaxRadius + 10, 2147483647LL), "-");
    EXPECT_EQ(NameAt(41800000, 13000000 + PlaceIndex::kMaxRadius - 10, 2147483647LL), "东区~");
}

// Rings lie one after another in the file: the border search must stop at a ring's closing
// vertex, or the step to the next ring's first vertex would be taken for a border.
TEST(IndexRings, NearestBorderStopsAtEachRingsEnd) {
    PlaceIndex index;
    ASSERT_EQ(LoadDistricts({Cut("西条", {Square(40000000, 12000000, 40010000, 12000100)}, 32),
                             Cut("东条", {Square(40100000, 12000000, 40110000, 12000100)}, 32)},
                            {&index}),
              "");
    // 2000 units east of the west strip, along a parallel; the gap to the east strip is far
    // beyond the radius.
    Match m = index.Lookup(40012000, 12000050, 6000);
    EXPECT_EQ(m.kind == Match::kNear ? index.Name(m.district) : "-", "西条");
    EXPECT_NEAR(m.metres, 2000 * kMetresPerMapUnit * std::cos(12000050 / 360000.0 * 3.14159265358979 / 180), 1.0);
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
    // The tree's file has no stored cell grid, so its lookups walk the tree.
    const std::vector<District> ds{Cut("西", {west, Square(38500000, 12300000, 39500000, 12700000)}, 8),
                                   Cut("东", {east}, 8),
                                   Cut("岛", {Square(38900000, 12450000, 39100000, 12550000)}, 8)};
    PlaceIndex tree, grid;
    ASSERT_EQ(LoadDistricts(ds, {&tree}, 0) + LoadDistricts(ds, {&grid}), "");
    // The density asked for, within the rounding of a cell's side up to a power of two.
    const PlaceIndex::CellStates cells = grid.ClassifyCells(64);
    const double perPiece = double(cells.cellsX) * cells.cellsY / double(grid.PieceCount());
    EXPECT_TRUE(perPiece >= 16 && perPiece <= 128) << perPiece;
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
            ASSERT_TRUE(Same(got[k], tree.Lookup(row[k].x, y, 6000))) << row[k].x << "," << y;
            inside += got[k].kind == Match::kInside;
        }
    }
    EXPECT_GT(inside, 100000);  // the sweep is mostly inside, where the grid's shortcut works
}

// A coast (a border with no district beyond it) that cuts a corner off a cell leaves the cell
// mixed, whichever way round its ring runs: the corner is not the district's.
TEST(IndexGrid, CoastsThatCutACellsCornerOff) {
    for (bool clockwise : {false, true}) {
        // A right-angled triangle whose long side, in 64 steps, crosses cells at a slant.
        FixedRing cape{At(40000000, 12000000), At(41000000, 12000000)};
        for (int k = 1; k < 64; ++k)
            cape.push_back(At(41000000 - k * 1000000 / 64, 12000000 + k * 370000 / 64));
        cape.push_back(At(40000000, 12370000));
        if (clockwise)
            std::reverse(cape.begin(), cape.end());
        PlaceIndex tree, grid;
        ASSERT_EQ(LoadDistricts({Cut("岬", {cape}, 8)}, {&tree}, 0) + LoadDistricts({Cut("岬", {cape}, 8)}, {&grid}),
                  "");
        grid.BuildCells();
        for (int64_t y = 11990000; y <= 12380000; y += 2000)
            for (int64_t x = 39990000; x <= 41010000; x += 2000)
                ASSERT_EQ(grid.Lookup(x, y, 0).kind, tree.Lookup(x, y, 0).kind) << x << "," << y << " " << clockwise;
    }
}

TEST_F(SmallIndex, DamagedPieceIsAnErrorForItsLookupsOnly) {
    // Opening reads no geometry, so a damaged piece is found by the lookups that need it:
    // each of them must fail, and every other must answer as from the intact file.
    PlaceIndex damaged, damagedCells;
    ASSERT_EQ(LoadDamaged({&damaged, &damagedCells}), "");
    damagedCells.BuildCells();
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
                ASSERT_TRUE(Same(got, first[k])) << x << "," << y;
                ASSERT_TRUE(got.kind == Match::kError || Same(got, want)) << x << "," << y;
                (got.kind == Match::kError ? errors : answers) += 1;
            }
        }
        EXPECT_GT(errors, 0);
        EXPECT_GT(answers, errors);
    }
}
