// The binary index of district pieces, and the lookups the service answers from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pieces.h"

namespace lookupd {

// What the converter hands to the index writer: one named district and its pieces.
struct District {
    std::string name;  // GBK, full form: province, prefecture, county
    std::vector<Piece> pieces;
};

enum class Datum : uint32_t { kWgs84 = 0, kGcj02 = 1 };

// Writes the index file; returns an empty string or what went wrong.
std::string WriteIndex(const std::string& path, Datum datum, const std::vector<District>& districts);

struct Match {
    enum Kind { kNone, kInside, kNear } kind = kNone;
    uint32_t district = 0;
    double metres = 0;  // distance to the district for kNear
};

class PlaceIndex {
public:
    PlaceIndex();
    ~PlaceIndex();
    PlaceIndex(const PlaceIndex&) = delete;
    PlaceIndex& operator=(const PlaceIndex&) = delete;

    // Maps and checks an index file; returns an empty string or a message that
    // names the file and the fault. A failed load leaves the index empty. The
    // file is used in place for as long as the index lives, so it must be
    // replaced by renaming a new file over it, never rewritten.
    std::string Load(const std::string& path);

    // x, y: a WGS84 position in map units; radius in map units (distance along a
    // meridian). Containment wins; otherwise the nearest district whose border
    // is within the radius.
    Match Lookup(int64_t x, int64_t y, int64_t radius) const;

    std::string_view Name(uint32_t district) const { return m_names[district]; }
    size_t DistrictCount() const { return m_names.size(); }
    size_t PieceCount() const;
    // A piece as stored: its district and its rings (closed, outline first). For tools that hand
    // the very polygons the lookups use to other programs.
    uint32_t PieceDistrict(size_t piece) const;
    std::vector<std::pair<const Fixed*, size_t>> PieceRings(size_t piece) const;

    // Largest radius searched; larger ones are treated as this (half a degree).
    static constexpr int64_t kMaxRadius = 180000;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::vector<std::string_view> m_names;  // into the mapped file
    Datum m_datum = Datum::kWgs84;
};

}  // namespace lookupd
