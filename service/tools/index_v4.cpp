// The reader of the index format before the compact one (version 4), kept only so that
// lookupd_compare can put the old file's answers beside the new one's. Not used by the service.
#include "index_v4.h"

#include "mapped_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#include <xxhash.h>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/box.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/polygon.hpp>
#include <boost/geometry/geometries/segment.hpp>
#include <boost/geometry/index/rtree.hpp>
#include <boost/geometry/geometries/register/point.hpp>
#include <boost/geometry/geometries/register/ring.hpp>

namespace bg = boost::geometry;
namespace bgi = boost::geometry::index;

namespace lookupd {

namespace {

const char kMagic[8] = {'L', 'M', 'L', 'K', 'I', 'D', 'X', '1'};
// 2: names in GBK instead of UTF-8.
// 3: the name blob padded to four bytes, so that the tables after it are used where they
//    lie in the mapped file; XXH3 as the checksum.
// 4: each district's 6-digit division code, in a table after the name lengths.
constexpr uint32_t kVersion = 4;

// The file is written and read as it lies in memory: little-endian, fixed widths, and no
// padding but the name blob's, so that the Linux and the 32-bit Windows builds read the
// same file.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the index is little-endian");

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t datum;
    uint32_t districts;
    uint32_t pieces;
    uint32_t rings;
    uint32_t points;
    uint32_t nameBytes;
    uint32_t reserved;
};

struct PieceRecord {
    uint32_t district;
    uint32_t firstRing;
    uint32_t ringCount;
};

struct RingRecord {
    uint32_t firstPoint;
    uint32_t pointCount;
};

static_assert(sizeof(Header) == 40 && sizeof(PieceRecord) == 12 && sizeof(RingRecord) == 8 && sizeof(Fixed) == 8,
              "index records have fixed sizes");

// The name blob is padded to this, so that the tables after it can be used in place.
constexpr uint64_t Aligned(uint64_t n) {
    return (n + 3) & ~uint64_t(3);
}

template <class T>
void Append(std::string& buf, const T& v) {
    buf.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// A ring of the index, read in place: closed (its first vertex repeated at the end).
struct RingView {
    using iterator = const Fixed*;
    using const_iterator = const Fixed*;
    const Fixed* b;
    const Fixed* e;
    const Fixed* begin() const { return b; }
    const Fixed* end() const { return e; }
    size_t size() const { return static_cast<size_t>(e - b); }
};

}  // namespace
}  // namespace lookupd

BOOST_GEOMETRY_REGISTER_POINT_2D(lookupd::Fixed, int32_t, boost::geometry::cs::cartesian, x, y)
BOOST_GEOMETRY_REGISTER_RING(lookupd::RingView)

namespace lookupd {
namespace {

// Boxes in doubles: the tree's bulk loader adds coordinates, which overflows 32 bits here.
using DPoint = bg::model::d2::point_xy<double>;
using Box = bg::model::box<DPoint>;
using Entry = std::pair<Box, uint32_t>;
using DSegment = bg::model::segment<DPoint>;

}  // namespace

struct IndexV4::Impl {
    MappedFile file;  // the tables below point into it
    const PieceRecord* pieces = nullptr;
    size_t pieceCount = 0;
    const RingRecord* rings = nullptr;
    const Fixed* points = nullptr;
    bgi::rtree<Entry, bgi::rstar<16>> tree;

    RingView Ring(uint32_t r) const {
        const Fixed* b = points + rings[r].firstPoint;
        return RingView{b, b + rings[r].pointCount};
    }

    // Inside the outline or on it, and not strictly inside a hole.
    bool Covers(uint32_t piece, const Fixed& pt) const {
        const PieceRecord& p = pieces[piece];
        if (!bg::covered_by(pt, Ring(p.firstRing)))
            return false;
        for (uint32_t r = 1; r < p.ringCount; ++r)
            if (bg::within(pt, Ring(p.firstRing + r)))
                return false;
        return true;
    }
};

IndexV4::IndexV4() : m_impl(new Impl) {}
IndexV4::~IndexV4() = default;

size_t IndexV4::PieceCount() const {
    return m_impl->pieceCount;
}

std::string IndexV4::Load(const std::string& path) {
    m_impl.reset(new Impl);
    m_names.clear();
    m_codes = nullptr;
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
    if (h.datum > 1)
        return bad("unknown datum " + std::to_string(h.datum));
    const uint64_t codesAt = sizeof(Header) + 4ull * h.districts;
    const uint64_t namesAt = codesAt + 4ull * h.districts;
    const uint64_t piecesAt = namesAt + Aligned(h.nameBytes);
    const uint64_t ringsAt = piecesAt + sizeof(PieceRecord) * uint64_t(h.pieces);
    const uint64_t pointsAt = ringsAt + sizeof(RingRecord) * uint64_t(h.rings);
    const uint64_t sumAt = pointsAt + sizeof(Fixed) * uint64_t(h.points);
    if (sumAt + sizeof(uint64_t) != fileSize)
        return bad("size " + std::to_string(fileSize) + " does not match its header (" +
                   std::to_string(sumAt + sizeof(uint64_t)) + ")");
    uint64_t stored;
    std::memcpy(&stored, base + sumAt, sizeof stored);
    if (stored != XXH3_64bits(base, sumAt))
        return bad("checksum mismatch (damaged file)");

    const uint32_t* nameLengths = reinterpret_cast<const uint32_t*>(base + sizeof(Header));
    impl->pieces = reinterpret_cast<const PieceRecord*>(base + piecesAt);
    impl->pieceCount = h.pieces;
    impl->rings = reinterpret_cast<const RingRecord*>(base + ringsAt);
    impl->points = reinterpret_cast<const Fixed*>(base + pointsAt);

    std::vector<std::string_view> names;
    names.reserve(h.districts);
    uint64_t used = 0;
    for (uint32_t i = 0; i < h.districts; ++i) {
        if (used + nameLengths[i] > h.nameBytes)
            return bad("name table overruns its blob");
        names.emplace_back(base + namesAt + used, nameLengths[i]);
        used += nameLengths[i];
    }
    std::vector<Entry> entries;
    entries.reserve(h.pieces);
    for (uint32_t i = 0; i < h.pieces; ++i) {
        const PieceRecord& pr = impl->pieces[i];
        if (pr.district >= h.districts || pr.ringCount == 0 || uint64_t(pr.firstRing) + pr.ringCount > h.rings)
            return bad("piece " + std::to_string(i) + " refers outside the tables");
        for (uint32_t r = pr.firstRing; r < pr.firstRing + pr.ringCount; ++r) {
            const RingRecord& rr = impl->rings[r];
            if (rr.pointCount < 4 || uint64_t(rr.firstPoint) + rr.pointCount > h.points)
                return bad("ring " + std::to_string(r) + " refers outside the point table");
        }
        // A plain loop: this pass reads most of the file, and it is a large part of start-up.
        RingView outline = impl->Ring(pr.firstRing);
        int32_t minX = outline.b->x, maxX = minX, minY = outline.b->y, maxY = minY;
        for (const Fixed* f = outline.b + 1; f != outline.e; ++f) {
            minX = std::min(minX, f->x);
            maxX = std::max(maxX, f->x);
            minY = std::min(minY, f->y);
            maxY = std::max(maxY, f->y);
        }
        entries.emplace_back(Box(DPoint(minX, minY), DPoint(maxX, maxY)), i);
    }
    impl->tree = bgi::rtree<Entry, bgi::rstar<16>>(entries);  // packed bulk load
    m_impl = std::move(impl);
    m_names = std::move(names);
    m_codes = reinterpret_cast<const uint32_t*>(base + codesAt);
    m_datum = static_cast<Datum>(h.datum);
    return "";
}

Match IndexV4::Lookup(int64_t x, int64_t y, int64_t radius) const {
    Match m;
    const int64_t kLon = 180 * 360000ll, kLat = 90 * 360000ll;
    if (x < -kLon || x > kLon || y < -kLat || y > kLat || m_names.empty())
        return m;
    double lon = x / kMapUnitsPerDegree, lat = y / kMapUnitsPerDegree;
    if (m_datum == Datum::kGcj02)
        Wgs84ToGcj02(lon, lat, lon, lat);
    Fixed pt{DegreesToFixed(lon), DegreesToFixed(lat)};
    const Impl& im = *m_impl;

    // Where districts overlap (Kinmen is in both the Fujian and the Taiwan files), the
    // first listed wins, so an answer never depends on the tree's layout.
    for (auto it = im.tree.qbegin(bgi::intersects(DPoint(pt.x, pt.y))); it != im.tree.qend(); ++it) {
        uint32_t d = im.pieces[it->second].district;
        if ((m.kind == Match::kNone || d < m.district) && im.Covers(it->second, pt)) {
            m.kind = Match::kInside;
            m.district = d;
        }
    }
    if (m.kind == Match::kInside || radius <= 0)
        return m;
    // Distances are taken in a local plane where a unit east is cos(latitude) of a unit north.
    double r = static_cast<double>(std::min(radius, PlaceIndex::kMaxRadius)) * kSubUnits;
    double c = std::max(std::cos(lat * 3.14159265358979323846 / 180.0), 0.01);
    double rx = r / c;
    Box search(DPoint(pt.x - rx, pt.y - r), DPoint(pt.x + rx, pt.y + r));
    DPoint q(pt.x * c, pt.y);
    double best = std::numeric_limits<double>::infinity();
    uint32_t bestDistrict = 0;
    for (auto it = im.tree.qbegin(bgi::intersects(search)); it != im.tree.qend(); ++it) {
        const PieceRecord& pr = im.pieces[it->second];
        for (uint32_t ri = pr.firstRing; ri < pr.firstRing + pr.ringCount; ++ri) {
            RingView ring = im.Ring(ri);
            for (const Fixed* a = ring.b; a + 1 < ring.e; ++a) {
                const Fixed& b = a[1];
                if (IsSeam(*a, b))
                    continue;  // a cut inside the district, not its border
                double d = bg::distance(q, DSegment(DPoint(a->x * c, a->y), DPoint(b.x * c, b.y)));
                if (d < best || (d == best && pr.district < bestDistrict)) {
                    best = d;
                    bestDistrict = pr.district;
                }
            }
        }
    }
    if (best <= r) {
        m.kind = Match::kNear;
        m.district = bestDistrict;
        m.metres = best / kSubUnits * kMetresPerMapUnit;
    }
    return m;
}

}  // namespace lookupd
