#include "place_index.h"

#include "mapped_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#include <xxhash.h>

#include <boost/geometry.hpp>
#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/segment.hpp>
#include <boost/geometry/geometries/register/point.hpp>
#include <boost/geometry/geometries/register/ring.hpp>

namespace bg = boost::geometry;

namespace lookupd {

namespace {

const char kMagic[8] = {'L', 'M', 'L', 'K', 'I', 'D', 'X', '1'};
// 2: names in GBK instead of UTF-8.
// 3: the name blob padded to four bytes, so that the tables after it are used where they
//    lie in the mapped file; XXH3 as the checksum.
// 4: each district's 6-digit division code, in a table after the name lengths.
// 5: compact: rings delta-coded per piece and decoded only when a lookup touches the piece,
//    the search tree stored packed, the tables under a checksum of their own so that
//    opening the file does not read the geometry.
constexpr uint32_t kVersion = 5;

// The file is written and read as it lies in memory: little-endian, fixed widths, every
// table aligned to eight bytes, so that the Linux and the Windows builds read the same file.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the index is little-endian");

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t datum;
    uint32_t districts;
    uint32_t pieces;
    uint32_t nameBytes;
    uint32_t fanout;
    uint64_t streamBytes;
    uint64_t tablesSum;  // XXH3 of the tables, seeded with that of this header (this field 0)
};

struct Box {
    int32_t minX, minY, maxX, maxY;
};

static_assert(sizeof(Header) == 48 && sizeof(Box) == 16 && sizeof(Fixed) == 8, "index records have fixed sizes");

// Children per node of the search tree.
constexpr uint32_t kFanout = 16;
// 1/1024 degree in fixed units: most source vertices lie on this grid, so their deltas
// are small multiples of it.
constexpr int64_t kGrid = 11250;
static_assert(kGrid * 1024 == int64_t(kMapUnitsPerDegree) * kSubUnits, "the grid is 1/1024 degree");
// No ring is longer: a piece has at most a few dozen vertices, and a damaged count must
// not make a lookup allocate.
constexpr uint64_t kMaxRingVertices = 1 << 16;

constexpr uint64_t Aligned(uint64_t n) {
    return (n + 7) & ~uint64_t(7);
}

template <class T>
void Append(std::string& buf, const T& v) {
    buf.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void Pad(std::string& buf) {
    buf.resize(Aligned(buf.size()), '\0');
}

// The tree's levels, leaves (one box per piece) first, up to the first level of at most
// kFanout nodes. The sizes follow from the piece count alone, so the file need not say them.
std::vector<uint64_t> LevelSizes(uint64_t pieces) {
    std::vector<uint64_t> sizes{pieces};
    while (sizes.back() > kFanout)
        sizes.push_back((sizes.back() + kFanout - 1) / kFanout);
    return sizes;
}

// Where each table lies, from the header's counts; false where they do not fit the file.
struct Layout {
    uint64_t nameOffsets, codes, pieceDistricts, streamOffsets, pieceSums, tree, names, stream, sum, end;
    std::vector<uint64_t> levels;  // sizes
    uint64_t treeBoxes = 0;
};

Layout LayoutOf(const Header& h) {
    Layout l;
    l.levels = LevelSizes(h.pieces);
    for (uint64_t n : l.levels)
        l.treeBoxes += n;
    l.nameOffsets = sizeof(Header);
    l.codes = l.nameOffsets + Aligned(4ull * (h.districts + 1ull));
    l.pieceDistricts = l.codes + Aligned(4ull * h.districts);
    l.streamOffsets = l.pieceDistricts + Aligned(2ull * h.pieces);
    l.pieceSums = l.streamOffsets + Aligned(4ull * (h.pieces + 1ull));
    l.tree = l.pieceSums + Aligned(4ull * h.pieces);
    l.names = l.tree + sizeof(Box) * l.treeBoxes;
    l.stream = l.names + Aligned(h.nameBytes);
    l.sum = l.stream + Aligned(h.streamBytes);
    l.end = l.sum + sizeof(uint64_t);
    return l;
}

uint64_t TablesSum(const Header& h, const char* tables, size_t size) {
    Header zeroed = h;
    zeroed.tablesSum = 0;
    return XXH3_64bits_withSeed(tables, size, XXH3_64bits(&zeroed, sizeof zeroed));
}

uint32_t PieceSum(const char* bytes, size_t size) {
    return static_cast<uint32_t>(XXH3_64bits(bytes, size));
}

// --- The ring code ---------------------------------------------------------------------------
// Each coordinate is one varint whose two low bits say how to read the rest:
//   0  grid: a multiple of kGrid, as a zig-zag count of grid steps from the last value on the
//      grid (most source vertices are one to three steps apart: one byte)
//   1  the piece box's minimum on this axis (a cut: seams lie on the box's edges)
//   2  the box's maximum
//   3  raw: zig-zag fixed units from the previous value (crossings, points off the grid)
// Measured on the data: a spare bit for the grid steps (tags in three bits where the lowest is
// set) made the file larger, since a third of the vertices are crossings or off the grid.
// A piece is: ring count, then for each ring its vertex count and its vertices (open).

void PutVarint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out += static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
}

uint64_t ZigZag(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}

int64_t UnZigZag(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

int64_t FloorGrid(int64_t v) {
    int64_t q = v / kGrid;
    return (q * kGrid > v ? q - 1 : q) * kGrid;
}

struct Axis {
    int64_t min, max, last, lastGrid;
    Axis(int32_t lo, int32_t hi) : min(lo), max(hi), last(lo), lastGrid(FloorGrid(lo)) {}
    void Saw(int64_t v) {
        last = v;
        if (v % kGrid == 0)
            lastGrid = v;
    }
};

void PutCoordinate(std::string& out, Axis& a, int64_t v) {
    if (v == a.min)
        PutVarint(out, 1);
    else if (v == a.max)
        PutVarint(out, 2);
    else if (v % kGrid == 0)
        PutVarint(out, ZigZag((v - a.lastGrid) / kGrid) << 2);
    else
        PutVarint(out, ZigZag(v - a.last) << 2 | 3);
    a.Saw(v);
}

// Reads within [p, end); every failure is a damaged piece.
class Reader {
public:
    Reader(const unsigned char* p, const unsigned char* end) : m_p(p), m_end(end) {}
    bool Varint(uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_p == m_end)
                return false;
            unsigned char b = *m_p++;
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80))
                return true;
        }
        return false;
    }
    bool Coordinate(Axis& a, int32_t& out) {
        uint64_t c;
        if (!Varint(c))
            return false;
        int64_t v;
        switch (c & 3) {
            case 0: {
                int64_t steps = UnZigZag(c >> 2);
                if (steps > (int64_t(1) << 32) || steps < -(int64_t(1) << 32))
                    return false;
                v = a.lastGrid + steps * kGrid;
                break;
            }
            case 1:
                v = a.min;
                break;
            case 2:
                v = a.max;
                break;
            default:
                v = a.last + UnZigZag(c >> 2);  // |last| < 2^31, so this cannot overflow
                break;
        }
        // Every vertex lies in its piece's box; outside it the piece is damaged.
        if (v < a.min || v > a.max)
            return false;
        a.Saw(v);
        out = static_cast<int32_t>(v);
        return true;
    }
    bool AtEnd() const { return m_p == m_end; }

private:
    const unsigned char* m_p;
    const unsigned char* m_end;
};

std::string EncodePiece(const Piece& p, const Box& box) {
    std::string out;
    Axis ax(box.minX, box.maxX), ay(box.minY, box.maxY);
    PutVarint(out, p.rings.size());
    for (const FixedRing& r : p.rings) {
        PutVarint(out, r.size());
        for (Fixed f : r) {
            PutCoordinate(out, ax, f.x);
            PutCoordinate(out, ay, f.y);
        }
    }
    return out;
}

Box BoundsOf(const Piece& p) {
    Box b{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (const FixedRing& r : p.rings)
        for (Fixed f : r) {
            b.minX = std::min(b.minX, f.x);
            b.minY = std::min(b.minY, f.y);
            b.maxX = std::max(b.maxX, f.x);
            b.maxY = std::max(b.maxY, f.y);
        }
    return b;
}

// A ring as a lookup decodes it: closed (its first vertex repeated at the end).
struct RingView {
    using iterator = const Fixed*;
    using const_iterator = const Fixed*;
    const Fixed* b;
    const Fixed* e;
    const Fixed* begin() const { return b; }
    const Fixed* end() const { return e; }
    size_t size() const { return static_cast<size_t>(e - b); }
};

// One decoded piece: its rings' vertices one after another, each ring closed.
struct Decoded {
    std::vector<Fixed> points;
    std::vector<uint32_t> ringEnds;
    RingView Ring(size_t r) const {
        const Fixed* base = points.data();
        return RingView{base + (r ? ringEnds[r - 1] : 0), base + ringEnds[r]};
    }
    size_t RingCount() const { return ringEnds.size(); }
};

bool DecodePiece(const unsigned char* p, const unsigned char* end, const Box& box, Decoded& out) {
    out.points.clear();
    out.ringEnds.clear();
    // No real piece spans a quarter of the globe; a box that does is damaged, and the point
    // tests, which subtract coordinates in 32 bits, must never see one.
    constexpr int64_t kMaxSpan = int64_t(1) << 30;
    if (int64_t(box.maxX) - box.minX > kMaxSpan || int64_t(box.maxY) - box.minY > kMaxSpan || box.maxX < box.minX ||
        box.maxY < box.minY)
        return false;
    Reader in(p, end);
    Axis ax(box.minX, box.maxX), ay(box.minY, box.maxY);
    uint64_t rings;
    // Each vertex takes at least two bytes, so no count may exceed what the bytes can hold.
    const uint64_t bytes = static_cast<uint64_t>(end - p);
    if (!in.Varint(rings) || rings == 0 || rings > bytes)
        return false;
    for (uint64_t r = 0; r < rings; ++r) {
        uint64_t n;
        if (!in.Varint(n) || n < 3 || n > kMaxRingVertices || n > bytes / 2)
            return false;
        size_t first = out.points.size();
        for (uint64_t i = 0; i < n; ++i) {
            Fixed f;
            if (!in.Coordinate(ax, f.x) || !in.Coordinate(ay, f.y))
                return false;
            out.points.push_back(f);
        }
        out.points.push_back(out.points[first]);
        out.ringEnds.push_back(static_cast<uint32_t>(out.points.size()));
    }
    return in.AtEnd();
}

// Sort-tile-recursive order: pieces near each other end up in the same leaves.
std::vector<uint32_t> TreeOrder(const std::vector<Box>& boxes) {
    std::vector<uint32_t> order(boxes.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto cx = [&](uint32_t i) { return int64_t(boxes[i].minX) + boxes[i].maxX; };
    auto cy = [&](uint32_t i) { return int64_t(boxes[i].minY) + boxes[i].maxY; };
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return cx(a) < cx(b); });
    const size_t leaves = (order.size() + kFanout - 1) / kFanout;
    const size_t slices = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(leaves))));
    const size_t perSlice = std::max<size_t>(1, slices) * kFanout;
    for (size_t s = 0; s < order.size(); s += perSlice) {
        auto e = order.begin() + static_cast<std::ptrdiff_t>(std::min(order.size(), s + perSlice));
        std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(s), e,
                         [&](uint32_t a, uint32_t b) { return cy(a) < cy(b); });
    }
    return order;
}

}  // namespace
}  // namespace lookupd

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

}  // namespace

std::string WriteIndex(const std::string& path, Datum datum, const std::vector<District>& districts) {
    if (districts.size() > 0xFFFF)
        return "too many districts for the index (" + std::to_string(districts.size()) + ")";
    struct Item {
        const Piece* piece;
        uint16_t district;
        Box box;
    };
    std::vector<Item> items;
    std::vector<Box> boxes;
    for (size_t d = 0; d < districts.size(); ++d)
        for (const Piece& p : districts[d].pieces) {
            if (p.rings.empty())
                return "a piece of " + districts[d].name + " has no outline";
            items.push_back(Item{&p, static_cast<uint16_t>(d), BoundsOf(p)});
            boxes.push_back(items.back().box);
        }
    const std::vector<uint32_t> order = TreeOrder(boxes);

    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.datum = static_cast<uint32_t>(datum);
    h.districts = static_cast<uint32_t>(districts.size());
    h.pieces = static_cast<uint32_t>(items.size());
    h.fanout = kFanout;

    std::string nameOffsets, codes, nameBlob, pieceDistricts, streamOffsets, pieceSums, stream;
    for (const District& d : districts) {
        Append(nameOffsets, static_cast<uint32_t>(nameBlob.size()));
        nameBlob += d.name;
        Append(codes, d.code);
    }
    Append(nameOffsets, static_cast<uint32_t>(nameBlob.size()));
    std::vector<Box> leaves;
    Decoded check;
    for (uint32_t i : order) {
        const Item& it = items[i];
        std::string bytes = EncodePiece(*it.piece, it.box);
        // The builder reads back what it wrote: a piece that does not decode to itself
        // would answer wrongly for good.
        bool same = DecodePiece(reinterpret_cast<const unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size()), it.box, check) &&
                    check.RingCount() == it.piece->rings.size();
        for (size_t r = 0; same && r < check.RingCount(); ++r) {
            RingView v = check.Ring(r);
            const FixedRing& want = it.piece->rings[r];
            same = v.size() == want.size() + 1 && std::equal(want.begin(), want.end(), v.b);
        }
        if (!same)
            return "a piece of " + districts[it.district].name + " does not read back as written";
        Append(pieceDistricts, it.district);
        Append(streamOffsets, static_cast<uint32_t>(stream.size()));
        Append(pieceSums, PieceSum(bytes.data(), bytes.size()));
        stream += bytes;
        leaves.push_back(it.box);
        if (stream.size() > UINT32_MAX)
            return "the pieces take more than 4 GiB";
    }
    Append(streamOffsets, static_cast<uint32_t>(stream.size()));
    h.nameBytes = static_cast<uint32_t>(nameBlob.size());
    h.streamBytes = stream.size();

    // The tree, leaves first: node j of a level covers nodes [j*kFanout, (j+1)*kFanout) below.
    std::string tree;
    std::vector<Box> level = leaves;
    for (;;) {
        for (const Box& b : level)
            Append(tree, b);
        if (level.size() <= kFanout)
            break;
        std::vector<Box> up;
        for (size_t i = 0; i < level.size(); i += kFanout) {
            Box b = level[i];
            for (size_t k = i + 1; k < std::min(level.size(), i + kFanout); ++k) {
                b.minX = std::min(b.minX, level[k].minX);
                b.minY = std::min(b.minY, level[k].minY);
                b.maxX = std::max(b.maxX, level[k].maxX);
                b.maxY = std::max(b.maxY, level[k].maxY);
            }
            up.push_back(b);
        }
        level = std::move(up);
    }

    std::string tables;
    for (std::string* t : {&nameOffsets, &codes, &pieceDistricts, &streamOffsets, &pieceSums, &tree, &nameBlob}) {
        tables += *t;
        Pad(tables);
    }
    h.tablesSum = TablesSum(h, tables.data(), tables.size());
    std::string all;
    Append(all, h);
    all += tables;
    all += stream;
    Pad(all);
    if (all.size() != LayoutOf(h).sum)
        return "internal error: the tables do not follow their layout";
    Append(all, XXH3_64bits(all.data(), all.size()));
    // Written aside and renamed over the old file: a service that has the old one mapped
    // keeps it, and a failed build never leaves half an index.
    std::string tmp = path + ".part";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out)
        return "cannot create " + tmp;
    out.write(all.data(), static_cast<std::streamsize>(all.size()));
    out.close();
    if (!out)
        return "cannot write " + tmp;
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        return "cannot rename " + tmp + " to " + path;
    return "";
}

bool ResealIndex(std::string& bytes) {
    Header h;
    if (bytes.size() < sizeof h + sizeof(uint64_t))
        return false;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (h.streamBytes > UINT32_MAX)
        return false;
    const Layout l = LayoutOf(h);
    if (l.end != bytes.size())
        return false;
    char* base = &bytes[0];
    for (uint64_t i = 0; i < h.pieces; ++i) {
        uint32_t b, e;
        std::memcpy(&b, base + l.streamOffsets + 4 * i, 4);
        std::memcpy(&e, base + l.streamOffsets + 4 * (i + 1), 4);
        if (b <= e && e <= h.streamBytes) {
            uint32_t sum = PieceSum(base + l.stream + b, e - b);
            std::memcpy(base + l.pieceSums + 4 * i, &sum, 4);
        }
    }
    h.tablesSum = TablesSum(h, base + sizeof(Header), l.stream - sizeof(Header));
    std::memcpy(base, &h, sizeof h);
    const uint64_t sum = XXH3_64bits(base, l.sum);
    std::memcpy(base + l.sum, &sum, sizeof sum);
    return true;
}

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

    // Decodes a piece after checking its bytes against their checksum.
    bool Decode(uint32_t piece, Decoded& out) const {
        const unsigned char* b = stream + streamOffsets[piece];
        const unsigned char* e = stream + streamOffsets[piece + 1];
        if (PieceSum(reinterpret_cast<const char*>(b), static_cast<size_t>(e - b)) != pieceSums[piece])
            return false;
        return DecodePiece(b, e, levels[0][piece], out);
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

Match PlaceIndex::Lookup(int64_t x, int64_t y, int64_t radius) const {
    Match m;
    const int64_t kLon = 180 * 360000ll, kLat = 90 * 360000ll;
    if (x < -kLon || x > kLon || y < -kLat || y > kLat || m_districts == 0)
        return m;
    double lon = x / kMapUnitsPerDegree, lat = y / kMapUnitsPerDegree;
    if (m_datum == Datum::kGcj02)
        Wgs84ToGcj02(lon, lat, lon, lat);
    Fixed pt{DegreesToFixed(lon), DegreesToFixed(lat)};
    const Impl& im = *m_impl;
    // One buffer per thread: a lookup allocates nothing once its thread has decoded a piece.
    thread_local Decoded piece;
    bool damaged = false;

    // Where districts overlap (Kinmen is in both the Fujian and the Taiwan files), the
    // first listed wins, so an answer never depends on the tree's layout.
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
        for (size_t ri = 0; ri < piece.RingCount(); ++ri) {
            RingView ring = piece.Ring(ri);
            for (const Fixed* a = ring.b; a + 1 < ring.e; ++a) {
                const Fixed& b = a[1];
                if (IsSeam(*a, b))
                    continue;  // a cut inside the district, not its border
                double dist = bg::distance(q, DSegment(DPoint(a->x * c, a->y), DPoint(b.x * c, b.y)));
                if (dist < best || (dist == best && district < bestDistrict)) {
                    best = dist;
                    bestDistrict = district;
                }
            }
        }
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
