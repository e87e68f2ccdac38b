#include "place_index.h"

#include "index_format.h"
#include "mapped_file.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <xxhash.h>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/segment.hpp>
#include <boost/geometry/geometries/register/point.hpp>
#include <boost/geometry/geometries/register/ring.hpp>

namespace bg = boost::geometry;

BOOST_GEOMETRY_REGISTER_POINT_2D(lookupd::Fixed, int32_t, boost::geometry::cs::cartesian, x, y)
BOOST_GEOMETRY_REGISTER_RING(lookupd::RingView)

namespace lookupd {
namespace {

using DPoint = bg::model::d2::point_xy<double>;
using DSegment = bg::model::segment<DPoint>;

// Inside the outline or on it, and not strictly inside a hole.
bool Covers(const Decoded& piece, const Fixed& pt) {
    if (!bg::covered_by(pt, piece.Ring(0)))
        return false;
    for (size_t r = 1; r < piece.RingCount(); ++r)
        if (bg::within(pt, piece.Ring(r)))
            return false;
    return true;
}

// Calls f(a, b) for every edge of the piece's rings that is a border, not a cut inside the
// district; stops and returns false when f does.
template <class F>
bool EachBorderEdge(const Decoded& piece, F&& f) {
    for (size_t r = 0; r < piece.RingCount(); ++r) {
        const RingView ring = piece.Ring(r);
        for (const Fixed* a = ring.b; a + 1 < ring.e; ++a)
            if (!IsSeam(*a, a[1]) && !f(*a, a[1]))
                return false;
    }
    return true;
}

// Whether the segment ab has a point in the closed box. Exact: the bounds overlap, and the
// box's corners are not all strictly on one side of the line. Vertices lie in boxes at most
// 2^30 wide and so do cells, so each product stays below 2^62.
bool SegmentMeetsBox(const Fixed& a, const Fixed& b, const Box& box) {
    if (std::max(a.x, b.x) < box.minX || std::min(a.x, b.x) > box.maxX || std::max(a.y, b.y) < box.minY ||
        std::min(a.y, b.y) > box.maxY)
        return false;
    const int64_t dx = int64_t(b.x) - a.x, dy = int64_t(b.y) - a.y;
    int above = 0, below = 0;
    for (int32_t cx : {box.minX, box.maxX})
        for (int32_t cy : {box.minY, box.maxY}) {
            const int64_t cross = dx * (int64_t(cy) - a.y) - dy * (int64_t(cx) - a.x);
            above += cross > 0;
            below += cross < 0;
        }
    return above < 4 && below < 4;
}

// Cells per piece in BuildCells' grid: more cells, fewer pieces to try per point.
constexpr double kCellsPerPiece = 1.0;
// More than this many cells per piece on average, and the boxes are not a real index's.
constexpr uint64_t kMaxCellsPerPiece = 64;

}  // namespace

struct PlaceIndex::Impl {
    MappedFile file;  // the tables below point into it
    std::string path;
    size_t pieceCount = 0;
    const uint16_t* pieceDistricts = nullptr;
    const uint32_t* streamOffsets = nullptr;
    const uint32_t* pieceSums = nullptr;
    const unsigned char* stream = nullptr;
    std::vector<const Box*> levels;  // leaves first
    std::vector<uint64_t> levelSizes;
    // Pieces whose checksum has held once: the file is mapped read-only and never rewritten
    // in place, so a piece is summed once, not on every lookup that decodes it.
    std::unique_ptr<std::atomic<bool>[]> summed;

    // The grid of BuildCells; empty until then. A cell is 2^cellShift units wide and high.
    int32_t cellX0 = 0, cellY0 = 0;
    uint32_t cellShift = 0, cellsX = 0, cellsY = 0;
    std::vector<uint32_t> cellStarts;  // into cellPieces, one more than cells
    std::vector<uint32_t> cellPieces;
    // What a cell holds, found by its first lookup: kUnknown until then, kMixed where a
    // border crosses it or districts overlap, kOutside where no district reaches it, else
    // kWhole plus the district that holds all of it.
    enum : uint32_t { kUnknown, kMixed, kOutside, kWhole, kNoDistrict = UINT32_MAX };
    std::unique_ptr<std::atomic<uint32_t>[]> cellState;
    // Set once the grid is complete: lookups that start before use the tree, so that the grid
    // can be built on a thread of its own while they go on.
    std::atomic<bool> cellsReady{false};

    // Decodes a piece after checking its bytes against their checksum.
    bool Decode(uint32_t piece, Decoded& out) const {
        const unsigned char* b = stream + streamOffsets[piece];
        const unsigned char* e = stream + streamOffsets[piece + 1];
        if (!summed[piece].load(std::memory_order_relaxed)) {
            if (PieceSum(reinterpret_cast<const char*>(b), static_cast<size_t>(e - b)) != pieceSums[piece])
                return false;
            summed[piece].store(true, std::memory_order_relaxed);
        }
        return DecodePiece(b, e, levels[0][piece], out);
    }

    // The cell holding pt; SIZE_MAX outside the grid.
    size_t CellOf(const Fixed& pt) const {
        const int64_t cx = (int64_t(pt.x) - cellX0) >> cellShift, cy = (int64_t(pt.y) - cellY0) >> cellShift;
        if (cx < 0 || cy < 0 || cx >= cellsX || cy >= cellsY)
            return SIZE_MAX;
        return static_cast<size_t>(cy) * cellsX + static_cast<size_t>(cx);
    }

    // A cell's pieces, in district order.
    std::pair<const uint32_t*, const uint32_t*> Pieces(size_t c) const {
        return {cellPieces.data() + cellStarts[c], cellPieces.data() + cellStarts[c + 1]};
    }

    // A cell that no border crosses (the cuts between pieces are no border) lies wholly inside
    // each district or wholly outside it, so its centre answers for all of it: first listed
    // wins, as in every lookup. A cell a border crosses is kMixed, and so is one with a
    // damaged piece, so that its lookups find the damage.
    uint32_t Classify(size_t c, Decoded& piece) const {
        const auto [first, last] = Pieces(c);
        if (first == last)
            return kOutside;
        if (cellShift < 2)
            return kMixed;  // too small to hold an even centre for sure
        const int32_t x0 = static_cast<int32_t>(cellX0 + (int64_t(c % cellsX) << cellShift));
        const int32_t y0 = static_cast<int32_t>(cellY0 + (int64_t(c / cellsX) << cellShift));
        const int32_t side = static_cast<int32_t>((int64_t(1) << cellShift) - 1);
        const Box cell{x0, y0, x0 + side, y0 + side};
        // Even, as every position looked up is: an odd one may lie on a cut, where the test
        // below cannot tell a hole from the piece.
        const Fixed centre{(x0 + side / 2) & ~1, (y0 + side / 2) & ~1};
        uint32_t found = kNoDistrict;
        for (const uint32_t* i = first; i != last; ++i) {
            if (!Decode(*i, piece))
                return kMixed;
            if (!EachBorderEdge(piece, [&](const Fixed& a, const Fixed& b) { return !SegmentMeetsBox(a, b, cell); }))
                return kMixed;
            if (found == kNoDistrict && Covers(piece, centre))
                found = pieceDistricts[*i];  // the pieces come in district order
        }
        return found == kNoDistrict ? kOutside : kWhole + found;
    }

    // Calls f(piece) for every piece whose box meets the query box; stops when f returns false.
    template <class F>
    bool Search(double minX, double minY, double maxX, double maxY, F&& f) const {
        auto meets = [&](const Box& b) { return b.minX <= maxX && minX <= b.maxX && b.minY <= maxY && minY <= b.maxY; };
        struct Frame {
            size_t level;
            uint64_t node;
        };
        // Depth at most a handful of levels, each at most kFanout wide.
        Frame stack[16 * kFanout];
        size_t top = 0;
        const size_t root = levels.size() - 1;
        for (uint64_t i = levelSizes[root]; i-- > 0;)
            stack[top++] = Frame{root, i};
        while (top > 0) {
            Frame fr = stack[--top];
            if (!meets(levels[fr.level][fr.node]))
                continue;
            if (fr.level == 0) {
                if (!f(static_cast<uint32_t>(fr.node)))
                    return false;
                continue;
            }
            const uint64_t first = fr.node * kFanout;
            const uint64_t last = std::min(levelSizes[fr.level - 1], first + kFanout);
            for (uint64_t c = last; c-- > first;)
                stack[top++] = Frame{fr.level - 1, c};
        }
        return true;
    }
};

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
    if (h.datum > 1 || h.fanout != kFanout || h.districts > 0xFFFF || h.streamBytes > UINT32_MAX)
        return bad("header out of range (datum, fanout or counts)");
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

    impl->path = path;
    impl->pieceCount = h.pieces;
    impl->pieceDistricts = districts;
    impl->streamOffsets = offsets;
    impl->pieceSums = reinterpret_cast<const uint32_t*>(base + l.pieceSums);
    impl->stream = reinterpret_cast<const unsigned char*>(base + l.stream);
    impl->levelSizes = l.levels;
    impl->summed.reset(new std::atomic<bool>[h.pieces]());
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

void PlaceIndex::BuildCells() {
    Impl& im = *m_impl;
    if (im.pieceCount == 0 || im.cellsReady.load(std::memory_order_acquire))
        return;
    const Box* boxes = im.levels[0];
    Box all = boxes[0];
    for (size_t i = 1; i < im.pieceCount; ++i) {
        all.minX = std::min(all.minX, boxes[i].minX);
        all.minY = std::min(all.minY, boxes[i].minY);
        all.maxX = std::max(all.maxX, boxes[i].maxX);
        all.maxY = std::max(all.maxY, boxes[i].maxY);
    }
    // Square cells, a power of two wide, about as many as there are pieces.
    const double w = double(all.maxX) - all.minX + 1, h = double(all.maxY) - all.minY + 1;
    const double side = std::sqrt(w * h / double(im.pieceCount) / kCellsPerPiece);
    uint32_t shift = 0;
    while (shift < 30 && double(int64_t(1) << shift) < side)
        ++shift;
    im.cellX0 = all.minX;
    im.cellY0 = all.minY;
    im.cellShift = shift;
    im.cellsX = static_cast<uint32_t>(((int64_t(all.maxX) - all.minX) >> shift) + 1);
    im.cellsY = static_cast<uint32_t>(((int64_t(all.maxY) - all.minY) >> shift) + 1);
    struct Span {
        int64_t x0, y0, x1, y1;
    };
    auto spanOf = [&](const Box& b) {
        return Span{(int64_t(b.minX) - all.minX) >> shift, (int64_t(b.minY) - all.minY) >> shift,
                    (int64_t(b.maxX) - all.minX) >> shift, (int64_t(b.maxY) - all.minY) >> shift};
    };
    auto span = [&](const Box& b, auto&& f) {
        const Span s = spanOf(b);
        for (int64_t y = s.y0; y <= s.y1; ++y)
            for (int64_t x = s.x0; x <= s.x1; ++x)
                f(static_cast<size_t>(y) * im.cellsX + static_cast<size_t>(x));
    };
    // Real pieces are small and meet a cell or two, and their boxes fill a region that is
    // not a sliver. A file whose boxes say otherwise keeps to the tree rather than fill
    // memory with a grid.
    uint64_t entries = 0;
    for (size_t i = 0; i < im.pieceCount; ++i) {
        const Span s = spanOf(boxes[i]);
        if (s.x1 >= s.x0 && s.y1 >= s.y0)
            entries += uint64_t(s.x1 - s.x0 + 1) * uint64_t(s.y1 - s.y0 + 1);
    }
    if (entries > kMaxCellsPerPiece * im.pieceCount || uint64_t(im.cellsX) * im.cellsY > 4 * im.pieceCount + 1024) {
        im.cellsX = im.cellsY = 0;
        return;
    }
    std::vector<uint32_t> starts(size_t(im.cellsX) * im.cellsY + 1, 0);
    for (size_t i = 0; i < im.pieceCount; ++i)
        span(boxes[i], [&](size_t c) { ++starts[c + 1]; });
    for (size_t c = 1; c < starts.size(); ++c)
        starts[c] += starts[c - 1];
    std::vector<uint32_t> pieces(starts.back());
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    for (uint32_t i = 0; i < im.pieceCount; ++i)
        span(boxes[i], [&](size_t c) { pieces[next[c]++] = i; });
    for (size_t c = 0; c + 1 < starts.size(); ++c)
        std::stable_sort(pieces.begin() + starts[c], pieces.begin() + starts[c + 1],
                         [&](uint32_t a, uint32_t b) { return im.pieceDistricts[a] < im.pieceDistricts[b]; });
    im.cellState.reset(new std::atomic<uint32_t>[starts.size() - 1]());
    im.cellStarts = std::move(starts);
    im.cellPieces = std::move(pieces);
    im.cellsReady.store(true, std::memory_order_release);
}

bool PlaceIndex::Locate(int64_t x, int64_t y, Fixed& pt, double& lat) const {
    const int64_t kLon = 180 * 360000ll, kLat = 90 * 360000ll;
    if (x < -kLon || x > kLon || y < -kLat || y > kLat || m_districts == 0)
        return false;
    double lon = x / kMapUnitsPerDegree;
    lat = y / kMapUnitsPerDegree;
    if (m_datum == Datum::kGcj02)
        Wgs84ToGcj02(lon, lat, lon, lat);
    pt = Fixed{DegreesToFixed(lon), DegreesToFixed(lat)};
    return true;
}

Match PlaceIndex::Lookup(int64_t x, int64_t y, int64_t radius) const {
    Fixed pt;
    double lat;
    return Locate(x, y, pt, lat) ? LookupAt(pt, lat, radius) : Match();
}

// In bulk a lookup's time went mostly to waiting for memory: its cell, the cell's list of
// pieces, their boxes. So each is asked for some points before it is needed: the cell eight
// points ahead, its list four ahead, the boxes two ahead.
void PlaceIndex::LookupMany(const Query* q, size_t n, int64_t radius, Match* out) const {
    constexpr size_t kAhead = 8;
    struct Ahead {
        Fixed pt;
        double lat;
        bool on;
        size_t cell;
    } ahead[kAhead];
    const Impl& im = *m_impl;
    const bool grid = im.cellsReady.load(std::memory_order_acquire);
    auto locate = [&](size_t i) {
        Ahead& a = ahead[i % kAhead];
        a.on = Locate(q[i].x, q[i].y, a.pt, a.lat);
        a.cell = a.on && grid ? im.CellOf(a.pt) : SIZE_MAX;
        if (a.cell != SIZE_MAX) {
            __builtin_prefetch(&im.cellState[a.cell]);
            __builtin_prefetch(&im.cellStarts[a.cell]);
        }
    };
    // A cell needs its pieces until its first lookup has found it whole or empty, and where
    // a border crosses it.
    auto pieces = [&](size_t i) {
        const size_t c = ahead[i % kAhead].cell;
        return c != SIZE_MAX && im.cellState[c].load(std::memory_order_relaxed) < Impl::kOutside
                   ? im.Pieces(c)
                   : std::pair<const uint32_t*, const uint32_t*>();
    };
    for (size_t i = 0; i < n && i < kAhead; ++i)
        locate(i);
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead / 2 < n)
            __builtin_prefetch(pieces(i + kAhead / 2).first);
        if (i + kAhead / 4 < n) {
            const auto [first, last] = pieces(i + kAhead / 4);
            for (const uint32_t* p = first; p != last && p != first + 4; ++p)
                __builtin_prefetch(&im.levels[0][*p]);
        }
        const Ahead& a = ahead[i % kAhead];
        out[i] = a.on ? LookupAt(a.pt, a.lat, radius) : Match();
        if (i + kAhead < n)
            locate(i + kAhead);
    }
}

Match PlaceIndex::LookupAt(const Fixed& pt, double lat, int64_t radius) const {
    Match m;
    const Impl& im = *m_impl;
    // One buffer per thread: a lookup allocates nothing once its thread has decoded a piece.
    thread_local Decoded piece;
    bool damaged = false;

    // Where districts overlap (Kinmen is in both the Fujian and the Taiwan files), the
    // first listed wins, so an answer never depends on the tree's layout.
    if (im.cellsReady.load(std::memory_order_acquire)) {
        const size_t c = im.CellOf(pt);
        uint32_t state = c == SIZE_MAX ? uint32_t(Impl::kOutside) : im.cellState[c].load(std::memory_order_relaxed);
        if (state == Impl::kUnknown) {
            // Two threads may classify the same cell at once; both find the same.
            state = im.Classify(c, piece);
            im.cellState[c].store(state, std::memory_order_relaxed);
        }
        if (state >= Impl::kWhole) {
            m.kind = Match::kInside;
            m.district = state - Impl::kWhole;
            return m;
        }
        // In district order: the first piece that holds the point is the answer. A cell
        // outside every district has none to try.
        const auto [first, last] = state == Impl::kMixed ? im.Pieces(c) : std::pair<const uint32_t*, const uint32_t*>();
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
