#include "index/place_index.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <xxhash.h>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/segment.hpp>
#include <boost/geometry/geometries/register/point.hpp>
#include <boost/geometry/geometries/register/ring.hpp>

#include "index/place_index_impl.h"

namespace bg = boost::geometry;

BOOST_GEOMETRY_REGISTER_POINT_2D(lookupd::Fixed, int32_t, boost::geometry::cs::cartesian, x, y)
BOOST_GEOMETRY_REGISTER_RING(lookupd::RingView)

namespace lookupd {
namespace {

using DPoint = bg::model::d2::point_xy<double>;
using DSegment = bg::model::segment<DPoint>;

}  // namespace

bool Covers(const Decoded& piece, const Fixed& pt) {
    if (!bg::covered_by(pt, piece.Ring(0)))
        return false;
    for (size_t r = 1; r < piece.RingCount(); ++r)
        if (bg::within(pt, piece.Ring(r)))
            return false;
    return true;
}

PlaceIndex::PlaceIndex() : m_impl(new Impl) {}
PlaceIndex::~PlaceIndex() = default;

size_t PlaceIndex::PieceCount() const {
    return m_impl->pieceCount;
}

uint32_t PlaceIndex::PieceDistrict(size_t piece) const {
    return m_impl->pieceDistricts[piece];
}

std::vector<FixedRing> PlaceIndex::PieceRings(size_t piece) const {
    Decoded d;
    std::vector<FixedRing> rings;
    if (m_impl->Decode(static_cast<uint32_t>(piece), d))
        for (size_t r = 0; r < d.RingCount(); ++r)
            rings.emplace_back(d.Ring(r).begin(), d.Ring(r).end());
    return rings;
}

std::string PlaceIndex::Load(const std::string& path) {
    m_impl.reset(new Impl);
    m_nameOffsets = m_codes = nullptr;
    m_nameBlob = nullptr;
    m_districts = 0;
    auto bad = [&](const std::string& why) { return "index file " + path + ": " + why; };
    std::unique_ptr<Impl> impl(new Impl);
    std::string err = impl->file.Open(path);
    if (!err.empty())
        return bad(err);
    // The tables are used where they lie in the mapping: no copy, and every replica
    // on this machine shares the same pages.
    const char* base = impl->file.Data();
    const uint64_t fileSize = impl->file.Size();
    Header h;
    if (fileSize < sizeof(Header) + sizeof(uint64_t))
        return bad("too short to be an index (" + std::to_string(fileSize) + " bytes)");
    std::memcpy(&h, base, sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0)
        return bad("not an index (wrong signature)");
    if (h.version != kVersion)
        return bad("version " + std::to_string(h.version) + ", expected " + std::to_string(kVersion) +
                   " (made by another converter: rebuild it with this lumeno-mkindex)");
    if (h.datum > 1 || h.fanout != kFanout || h.districts > 0xFFFF || h.streamBytes > UINT32_MAX ||
        uint64_t(h.cellsX) * h.cellsY > kMaxCells || h.cellShift > 30)
        return bad("header out of range (datum, fanout, counts or cell grid)");
    const Layout l = LayoutOf(h);
    if (l.end != fileSize)
        return bad("size " + std::to_string(fileSize) + " does not match its header (" + std::to_string(l.end) + ")");
    if (TablesSum(h, base + sizeof(Header), l.stream - sizeof(Header)) != h.tablesSum)
        return bad("checksum mismatch in its tables (damaged file)");

    // The tables' own checksum holds; what they say must still fit, since the file may
    // come from elsewhere.
    const uint32_t* nameOffsets = reinterpret_cast<const uint32_t*>(base + l.nameOffsets);
    if (nameOffsets[0] != 0 || nameOffsets[h.districts] != h.nameBytes)
        return bad("name table does not match its blob");
    for (uint32_t i = 0; i < h.districts; ++i)
        if (nameOffsets[i] > nameOffsets[i + 1])
            return bad("name table overruns its blob");
    const uint16_t* districts = reinterpret_cast<const uint16_t*>(base + l.pieceDistricts);
    const uint32_t* offsets = reinterpret_cast<const uint32_t*>(base + l.streamOffsets);
    if (offsets[0] != 0 || offsets[h.pieces] != h.streamBytes)
        return bad("piece table does not match its data");
    for (uint32_t i = 0; i < h.pieces; ++i)
        if (districts[i] >= h.districts || offsets[i] >= offsets[i + 1])
            return bad("piece " + std::to_string(i) + " refers outside the tables");

    const uint16_t* states = reinterpret_cast<const uint16_t*>(base + l.cells);
    for (uint64_t c = 0; c < uint64_t(h.cellsX) * h.cellsY; ++c)
        if (states[c] >= kCellWhole && states[c] - kCellWhole >= h.districts)
            return bad("cell " + std::to_string(c) + " names no district");

    impl->path = path;
    impl->pieceCount = h.pieces;
    impl->pieceDistricts = districts;
    impl->streamOffsets = offsets;
    impl->pieceSums = reinterpret_cast<const uint32_t*>(base + l.pieceSums);
    impl->stream = reinterpret_cast<const unsigned char*>(base + l.stream);
    impl->levelSizes = l.levels;
    impl->summed.reset(new std::atomic<bool>[h.pieces]());
    if (h.cellsX && h.cellsY) {
        impl->stored = CellGrid{h.cellX0, h.cellY0, h.cellShift, h.cellsX, h.cellsY};
        impl->storedStates = states;
    }
    uint64_t at = l.tree;
    for (uint64_t n : l.levels) {
        impl->levels.push_back(reinterpret_cast<const Box*>(base + at));
        at += n * sizeof(Box);
    }
    m_impl = std::move(impl);
    m_nameOffsets = nameOffsets;
    m_nameBlob = base + l.names;
    m_codes = reinterpret_cast<const uint32_t*>(base + l.codes);
    m_districts = h.districts;
    m_datum = static_cast<Datum>(h.datum);
    return "";
}

std::string PlaceIndex::Verify() const {
    const Impl& im = *m_impl;
    const char* base = im.file.Data();
    const size_t size = im.file.Size();
    if (!base || m_districts == 0)
        return "no index loaded";
    auto bad = [&](const std::string& why) { return "index file " + im.path + ": " + why; };
    uint64_t stored;
    std::memcpy(&stored, base + size - sizeof stored, sizeof stored);
    if (stored != XXH3_64bits(base, size - sizeof stored))
        return bad("checksum mismatch (damaged file)");
    Decoded d;
    for (uint32_t i = 0; i < im.pieceCount; ++i)
        if (!im.Decode(i, d))
            return bad("piece " + std::to_string(i) + " is damaged");
    return "";
}

bool PlaceIndex::Locate(int64_t x, int64_t y, Crs crs, Fixed& pt, double& lat) const {
    const int64_t kLon = 180 * 360000ll, kLat = 90 * 360000ll;
    if (x < -kLon || x > kLon || y < -kLat || y > kLat || m_districts == 0)
        return false;
    double lon = x / kMapUnitsPerDegree;
    lat = y / kMapUnitsPerDegree;
    ConvertCrs(crs, m_datum == Datum::kGcj02 ? Crs::kGcj02 : Crs::kWgs84, lon, lat);
    pt = Fixed{DegreesToFixed(lon), DegreesToFixed(lat)};
    return true;
}

Match PlaceIndex::Lookup(int64_t x, int64_t y, int64_t radius, Crs crs) const {
    Fixed pt;
    double lat;
    return Locate(x, y, crs, pt, lat) ? LookupAt(pt, lat, radius) : Match();
}

Match PlaceIndex::LookupAt(const Fixed& pt, double lat, int64_t radius) const {
    Match m;
    const Impl& im = *m_impl;
    // One buffer per thread: a lookup allocates nothing once its thread has decoded a piece.
    thread_local Decoded piece;
    bool damaged = false;

    // Where districts overlap (Kinmen is in both the Fujian and the Taiwan files), the
    // first listed wins, so an answer never depends on the tree's layout.
    const uint32_t stored = im.storedStates ? im.StoredState(pt) : uint32_t(kCellUnknown);
    if (stored >= kCellWhole) {
        m.kind = Match::kInside;
        m.district = stored - kCellWhole;
        return m;
    }
    if (stored == kCellOutside) {
        // No district reaches the cell: only the near search is left.
    } else if (im.cellsReady.load(std::memory_order_acquire)) {
        const size_t c = im.cells.CellOf(pt);
        uint32_t state = c == SIZE_MAX ? uint32_t(kCellOutside) : im.cellState[c].load(std::memory_order_relaxed);
        if (state == kCellUnknown) {
            // Two threads may classify the same cell at once; both find the same.
            state = im.Classify(im.cells, c, piece);
            im.cellState[c].store(state, std::memory_order_relaxed);
        }
        if (state >= kCellWhole) {
            m.kind = Match::kInside;
            m.district = state - kCellWhole;
            return m;
        }
        // In district order: the first piece that holds the point is the answer. A cell
        // outside every district has none to try.
        const auto [first, last] =
            state == kCellMixed ? im.cells.Pieces(c) : std::pair<const uint32_t*, const uint32_t*>();
        for (const uint32_t* i = first; i != last; ++i) {
            const Box& b = im.levels[0][*i];
            if (pt.x < b.minX || pt.x > b.maxX || pt.y < b.minY || pt.y > b.maxY)
                continue;
            if (!im.Decode(*i, piece)) {
                damaged = true;
                break;
            }
            if (Covers(piece, pt)) {
                m.kind = Match::kInside;
                m.district = im.pieceDistricts[*i];
                break;
            }
        }
    } else {
        im.Search(pt.x, pt.y, pt.x, pt.y, [&](uint32_t i) {
            uint32_t d = im.pieceDistricts[i];
            if (m.kind != Match::kNone && d >= m.district)
                return true;
            if (!im.Decode(i, piece))
                return !(damaged = true);
            if (Covers(piece, pt)) {
                m.kind = Match::kInside;
                m.district = d;
            }
            return true;
        });
    }
    if (damaged)
        return Match{Match::kError, 0, 0};
    if (m.kind == Match::kInside || radius <= 0)
        return m;
    // Distances are taken in a local plane where a unit east is cos(latitude) of a unit north.
    double r = static_cast<double>(std::min(radius, kMaxRadius)) * kSubUnits;
    double c = std::max(std::cos(lat * 3.14159265358979323846 / 180.0), 0.01);
    double rx = r / c;
    DPoint q(pt.x * c, pt.y);
    double best = std::numeric_limits<double>::infinity();
    uint32_t bestDistrict = 0;
    im.Search(pt.x - rx, pt.y - r, pt.x + rx, pt.y + r, [&](uint32_t i) {
        if (!im.Decode(i, piece))
            return !(damaged = true);
        const uint32_t district = im.pieceDistricts[i];
        EachBorderEdge(piece, [&](const Fixed& a, const Fixed& b) {
            double dist = bg::distance(q, DSegment(DPoint(a.x * c, a.y), DPoint(b.x * c, b.y)));
            if (dist < best || (dist == best && district < bestDistrict)) {
                best = dist;
                bestDistrict = district;
            }
            return true;
        });
        return true;
    });
    if (damaged)
        return Match{Match::kError, 0, 0};
    if (best <= r) {
        m.kind = Match::kNear;
        m.district = bestDistrict;
        m.metres = best / kSubUnits * kMetresPerMapUnit;
    }
    return m;
}

}  // namespace lookupd
