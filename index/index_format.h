// The index file's layout and its piece code: what the writer and the loaded index share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "index/pieces.h"

namespace lookupd {

const char kMagic[8] = {'L', 'M', 'L', 'K', 'I', 'D', 'X', '1'};
// 2: names in GBK instead of UTF-8.
// 3: the name blob padded to four bytes, so that the tables after it are used where they
//    lie in the mapped file; XXH3 as the checksum.
// 4: each district's 6-digit division code, in a table after the name lengths.
// 5: compact: rings delta-coded per piece and decoded only when a lookup touches the piece,
//    the search tree stored packed, the tables under a checksum of their own so that
//    opening the file does not read the geometry.
// 6: a grid of what each small cell holds (one district, none, or a border), so that most
//    lookups decode no piece.
constexpr uint32_t kVersion = 6;

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
    // The cell grid: cellsX by cellsY square cells 2^cellShift units wide from (cellX0,
    // cellY0), row by row, a 16-bit state each; none where cellsX or cellsY is 0.
    int32_t cellX0, cellY0;
    uint32_t cellShift, cellsX, cellsY, reserved;
};

// What a cell of a grid holds: unknown (not yet looked at), a border, no district, or the
// district kCellWhole + d all over it (the first listed, where districts overlap).
enum : uint32_t { kCellUnknown, kCellMixed, kCellOutside, kCellWhole };

// Larger grids are refused: they would not be a real index's.
constexpr uint64_t kMaxCells = uint64_t(1) << 26;

static_assert(sizeof(Header) == 72 && sizeof(Box) == 16 && sizeof(Fixed) == 8, "index records have fixed sizes");

// Children per node of the search tree.
constexpr uint32_t kFanout = 16;

constexpr uint64_t Aligned(uint64_t n) {
    return (n + 7) & ~uint64_t(7);
}

// Where each table lies, from the header's counts (the cell grid within kMaxCells).
struct Layout {
    uint64_t nameOffsets, codes, pieceDistricts, streamOffsets, pieceSums, tree, cells, names, stream, sum, end;
    std::vector<uint64_t> levels;  // sizes
    uint64_t treeBoxes = 0;
};

Layout LayoutOf(const Header& h);

// XXH3 of the tables, seeded with that of the header (its own sum taken as 0).
uint64_t TablesSum(const Header& h, const char* tables, size_t size);
uint32_t PieceSum(const char* bytes, size_t size);

// A piece's bytes in the ring code, relative to its box.
std::string EncodePiece(const Piece& p, const Box& box);

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

// Decodes one piece's bytes [p, end) within its box; false where they are damaged.
bool DecodePiece(const unsigned char* p, const unsigned char* end, const Box& box, Decoded& out);

}  // namespace lookupd
