// A small index whose answers are known by construction, for the tests of the reader and
// of the service's answers: West (0) and East (1) share the edge x = 41000000; East has a
// hole that holds Enclave (2).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
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

inline bool Same(const Match& a, const Match& b) {
    return a.kind == b.kind && a.district == b.district;
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline District Cut(const char* name, const std::vector<FixedRing>& rings, size_t maxVertices, uint32_t code = 0) {
    District d;
    d.name = name;
    d.code = code;
    SplitPolygon(rings, maxVertices, d.pieces);
    return d;
}

// Loads the bytes, as a file, into each index; the file is gone afterwards.
inline std::string LoadBytes(const std::string& bytes, std::initializer_list<PlaceIndex*> into) {
    const std::string path = TempPath("bytes.idx");
    std::ofstream(path, std::ios::binary) << bytes;
    std::string err;
    for (PlaceIndex* index : into)
        err += index->Load(path);
    std::remove(path.c_str());
    return err;
}

// Writes the districts (with a stored cell grid of cellsPerPiece, none for 0) and loads the
// file into each index; the file is gone afterwards.
inline std::string LoadDistricts(const std::vector<District>& ds,
                                 std::initializer_list<PlaceIndex*> into,
                                 double cellsPerPiece = kStoredCellsPerPiece) {
    const std::string path = TempPath("districts.idx");
    std::string err = WriteIndex(path, Datum::kWgs84, ds, cellsPerPiece);
    for (PlaceIndex* index : into)
        err += err.empty() ? index->Load(path) : "";
    std::remove(path.c_str());
    return err;
}

class SmallIndex : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = TempPath("small.idx");
        const std::vector<District> ds = {
            Cut("西区", {Square(40000000, 12000000, 41000000, 13000000)}, 32, 110101),
            Cut("东区",
                {Square(41000000, 12000000, 42000000, 13000000), Square(41400000, 12400000, 41600000, 12600000)}, 32,
                110102),
            Cut("飞地", {Square(41450000, 12450000, 41550000, 12550000)}, 32)};  // no code
        ASSERT_EQ(WriteIndex(m_path, Datum::kWgs84, ds), "");
        ASSERT_EQ(m_index.Load(m_path) + m_cells.Load(m_path), "");
        m_cells.BuildCells();
    }

    // The index with its first piece's first vertex changed, loaded into each of `into`. The
    // pieces' bytes follow the names (the last is 飞地), from the next multiple of eight.
    std::string LoadDamaged(std::initializer_list<PlaceIndex*> into) {
        std::string bytes = Slurp(m_path);
        const size_t names = bytes.find("飞地");
        EXPECT_NE(names, std::string::npos);
        bytes.at((names + std::strlen("飞地") + 7) / 8 * 8 + 2) ^= 0x04;
        return LoadBytes(bytes, into);
    }
    void TearDown() override { std::remove(m_path.c_str()); }

    // The tree's answer, which the grid for bulk lookups must repeat.
    std::string NameAt(int64_t x, int64_t y, int64_t radius = 0) {
        Match m = m_index.Lookup(x, y, radius), c = m_cells.Lookup(x, y, radius);
        EXPECT_TRUE(Same(c, m)) << "the grid answers otherwise at " << x << "," << y;
        return m.kind == Match::kNone ? "-"
                                      : std::string(m_index.Name(m.district)) + (m.kind == Match::kNear ? "~" : "");
    }

    std::string m_path;
    PlaceIndex m_index, m_cells;
};

}  // namespace lookupd::testing
