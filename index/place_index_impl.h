// Inside the index reader: the mapped tables, the tree walk and the grid, shared by the
// reader's two files (place_index.cpp: loading and single lookups; place_grid.cpp: the grid
// and lookups in bulk). Not for use outside them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/index_format.h"
#include "index/mapped_file.h"
#include "index/place_index.h"

namespace lookupd {

// Inside the outline or on it, and not strictly inside a hole.
bool Covers(const Decoded& piece, const Fixed& pt);

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

// A cell grid built in memory, with the lists of the pieces whose boxes meet each cell, in
// district order.
struct Grid : CellGrid {
    std::vector<uint32_t> starts;  // into pieces, one more than cells
    std::vector<uint32_t> pieces;

    std::pair<const uint32_t*, const uint32_t*> Pieces(size_t c) const {
        return {pieces.data() + starts[c], pieces.data() + starts[c + 1]};
    }
};

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

    // The file's grid (no lists) and each cell's state, classified when the file was made:
    // a lookup in a cell inside one district, or outside all, needs no piece.
    CellGrid stored;
    const uint16_t* storedStates = nullptr;

    // The grid of BuildCells, and each cell's state, found by its first lookup (kCellUnknown
    // until then). Empty until BuildCells.
    Grid cells;
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

    // The stored state of the cell holding pt; kCellUnknown outside the stored grid.
    uint32_t StoredState(const Fixed& pt) const {
        const size_t c = stored.CellOf(pt);
        return c == SIZE_MAX ? uint32_t(kCellUnknown) : storedStates[c];
    }

    // A grid over the pieces' boxes, about cellsPerPiece cells for each piece; false (and no
    // grid) where the boxes are not a real index's.
    bool MakeGrid(double cellsPerPiece, Grid& g) const;

    // A cell that no border crosses (the cuts between pieces are no border) lies wholly inside
    // each district or wholly outside it, so its centre answers for all of it: first listed
    // wins, as in every lookup. A cell a border crosses is kCellMixed, and so is one with a
    // damaged piece, so that its lookups find the damage.
    uint32_t Classify(const Grid& g, size_t c, Decoded& piece) const;

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

}  // namespace lookupd
