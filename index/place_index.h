// The binary index of district pieces, and the lookups the service answers from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/crs.h"
#include "index/pieces.h"

namespace lookupd {

// Square cells 2^shift units wide from (x0, y0), row by row.
struct CellGrid {
    int32_t x0 = 0, y0 = 0;
    uint32_t shift = 0, cellsX = 0, cellsY = 0;

    // The cell holding pt; SIZE_MAX outside the grid.
    size_t CellOf(const Fixed& pt) const {
        const int64_t cx = (int64_t(pt.x) - x0) >> shift, cy = (int64_t(pt.y) - y0) >> shift;
        if (cx < 0 || cy < 0 || cx >= cellsX || cy >= cellsY)
            return SIZE_MAX;
        return static_cast<size_t>(cy) * cellsX + static_cast<size_t>(cx);
    }
};

// The datum the index's polygons are on; queries come in WGS84 and are shifted onto it.
enum class Datum : uint32_t { kWgs84 = 0, kGcj02 = 1 };

struct Match {
    // kError: a piece the lookup needed is damaged; the request gets an error, never a guess.
    enum Kind { kNone, kInside, kNear, kError } kind = kNone;
    uint32_t district = 0;
    double metres = 0;  // distance to the district for kNear
};

class PlaceIndex {
public:
    PlaceIndex();
    ~PlaceIndex();
    PlaceIndex(const PlaceIndex&) = delete;
    PlaceIndex& operator=(const PlaceIndex&) = delete;

    // Maps an index file and checks its header, its sizes and (by their own checksum) its
    // tables, without reading the pieces' geometry; returns an empty string or a message that
    // names the file and the fault. A failed load leaves the index empty. The file is used in
    // place for as long as the index lives, so it must be replaced by renaming a new file
    // over it, never rewritten.
    std::string Load(const std::string& path);

    // The whole file's checksum and every piece decoded: what Load leaves to the lookups.
    // Returns an empty string or the fault; for an index that is loaded.
    std::string Verify() const;

    // x, y: a position in map units, on WGS84 unless crs says otherwise; radius in map units
    // (distance along a meridian). Containment wins; otherwise the nearest district whose
    // border is within the radius.
    Match Lookup(int64_t x, int64_t y, int64_t radius, Crs crs = Crs::kWgs84) const;

    // Lookups of many positions, each answered as Lookup answers it; quicker with the grid.
    struct Query {
        int64_t x, y;
    };
    void LookupMany(const Query* q, size_t n, int64_t radius, Match* out, Crs crs = Crs::kWgs84) const;

    // For many lookups in a row: a grid over the pieces' boxes, each cell listing its pieces
    // in district order, so that a point costs one cell and usually one piece rather than a
    // walk down the tree, and nothing more in a cell that no border crosses once the cell's
    // first lookup has looked at it. It takes a few milliseconds and a few megabytes, and it may
    // run on a thread of its own while lookups go on: they use the tree until it is done. Call
    // it once after Load, never beside Load; the answers are the same with or without it.
    void BuildCells();

    // A grid of square cells 2^shift units wide from (x0, y0), row by row, and what each
    // holds: kCellWhole + district where one district covers all of it, kCellOutside where
    // none reaches it, kCellMixed where a border crosses it (index_format.h). The index
    // writer stores one in the file, about cellsPerPiece cells for each piece, so that most
    // lookups need no piece at all. Empty where the pieces' boxes are not a real index's.
    struct CellStates : CellGrid {
        std::vector<uint32_t> states;
    };
    CellStates ClassifyCells(double cellsPerPiece) const;

    std::string_view Name(uint32_t district) const {
        return std::string_view(m_nameBlob + m_nameOffsets[district],
                                m_nameOffsets[district + 1] - m_nameOffsets[district]);
    }
    uint32_t Code(uint32_t district) const { return m_codes[district]; }
    size_t DistrictCount() const { return m_districts; }
    // The datum the pieces' rings are on (what PieceRings gives back).
    Datum IndexDatum() const { return m_datum; }
    size_t PieceCount() const;
    // A piece as stored: its district and its rings (closed, outline first). For tools that hand
    // the very polygons the lookups use to other programs.
    uint32_t PieceDistrict(size_t piece) const;
    // Decoded; empty for a damaged piece.
    std::vector<FixedRing> PieceRings(size_t piece) const;

    // Largest radius searched; larger ones are treated as this (half a degree).
    static constexpr int64_t kMaxRadius = 180000;

private:
    // The position in the index's plane (shifted from crs onto the index's datum) and its latitude in degrees; false
    // off the globe or with no index loaded.
    bool Locate(int64_t x, int64_t y, Crs crs, Fixed& pt, double& lat) const;
    Match LookupAt(const Fixed& pt, double lat, int64_t radius) const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
    // Into the mapped file: name offsets (one more than districts), the names, the codes.
    const uint32_t* m_nameOffsets = nullptr;
    const char* m_nameBlob = nullptr;
    const uint32_t* m_codes = nullptr;
    size_t m_districts = 0;
    Datum m_datum = Datum::kWgs84;
};

}  // namespace lookupd
