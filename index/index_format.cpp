#include "index/index_format.h"

#include <algorithm>

#include <xxhash.h>

namespace lookupd {

namespace {

// 1/1024 degree in fixed units: most source vertices lie on this grid, so their deltas
// are small multiples of it.
constexpr int64_t kGrid = 11250;
static_assert(kGrid * 1024 == int64_t(kMapUnitsPerDegree) * kSubUnits, "the grid is 1/1024 degree");
// No ring is longer: a piece has at most a few dozen vertices, and a damaged count must
// not make a lookup allocate.
constexpr uint64_t kMaxRingVertices = 1 << 16;

// The tree's levels, leaves (one box per piece) first, up to the first level of at most
// kFanout nodes. The sizes follow from the piece count alone, so the file need not say them.
std::vector<uint64_t> LevelSizes(uint64_t pieces) {
    std::vector<uint64_t> sizes{pieces};
    while (sizes.back() > kFanout)
        sizes.push_back((sizes.back() + kFanout - 1) / kFanout);
    return sizes;
}

}  // namespace

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
    l.cells = l.tree + sizeof(Box) * l.treeBoxes;
    // (A larger grid is cut to one cell too many, so that its layout cannot overflow and
    // never matches the file.)
    l.names = l.cells + Aligned(2 * std::min(uint64_t(h.cellsX) * h.cellsY, kMaxCells + 1));
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

namespace {

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
        if (m_p != m_end && *m_p < 0x80) {  // most deltas fit one byte
            v = *m_p++;
            return true;
        }
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

}  // namespace

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
        const size_t first = out.points.size();
        out.points.resize(first + n + 1);
        Fixed* f = out.points.data() + first;
        for (uint64_t i = 0; i < n; ++i, ++f)
            if (!in.Coordinate(ax, f->x) || !in.Coordinate(ay, f->y))
                return false;
        *f = out.points[first];
        out.ringEnds.push_back(static_cast<uint32_t>(out.points.size()));
    }
    return in.AtEnd();
}

}  // namespace lookupd
