// A small index whose answers are known by construction, for the tests of the reader and
// of the service's answers: West (0) and East (1) share the edge x = 41000000; East has a
// hole that holds Enclave (2).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "index/place_index.h"
#include "indexer/index_writer.h"
#include "indexer/piece_cutter.h"

namespace lookupd::testing {

// Per process: the suite may run beside another build's.
inline std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "lookupd_" + std::to_string(getpid()) + "_" + name;
}

// Fixed coordinates for a position given in map units.
inline Fixed At(int64_t x, int64_t y) {
    return Fixed{static_cast<int32_t>(x * kSubUnits), static_cast<int32_t>(y * kSubUnits)};
}

inline FixedRing Square(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    return {At(x0, y0), At(x1, y0), At(x1, y1), At(x0, y1)};
}

class SmallIndex : public ::testing::Test {
protected:
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

}  // namespace lookupd::testing
