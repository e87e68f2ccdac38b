// The lookup grid, and lookups of many positions at once.
#include "index/place_index.h"

#include <cmath>

#include "index/place_index_impl.h"

namespace lookupd {
namespace {

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

// More than this many cells per piece on average, and the boxes are not a real index's.
constexpr uint64_t kMaxCellsPerPiece = 64;

}  // namespace

uint32_t PlaceIndex::Impl::Classify(const Grid& g, size_t c, Decoded& piece) const {
    const auto [first, last] = g.Pieces(c);
    if (first == last)
        return kCellOutside;
    if (g.shift < 2)
        return kCellMixed;  // too small to hold an even centre for sure
    const int32_t x0 = static_cast<int32_t>(g.x0 + (int64_t(c % g.cellsX) << g.shift));
    const int32_t y0 = static_cast<int32_t>(g.y0 + (int64_t(c / g.cellsX) << g.shift));
    const int32_t side = static_cast<int32_t>((int64_t(1) << g.shift) - 1);
    const Box cell{x0, y0, x0 + side, y0 + side};
    // Even, as every position looked up is: an odd one may lie on a cut, where the test
    // below cannot tell a hole from the piece.
    const Fixed centre{(x0 + side / 2) & ~1, (y0 + side / 2) & ~1};
    constexpr uint32_t kNone = UINT32_MAX;
    uint32_t found = kNone;
    for (const uint32_t* i = first; i != last; ++i) {
        if (!Decode(*i, piece))
            return kCellMixed;
        if (!EachBorderEdge(piece, [&](const Fixed& a, const Fixed& b) { return !SegmentMeetsBox(a, b, cell); }))
            return kCellMixed;
        if (found == kNone && Covers(piece, centre))
            found = pieceDistricts[*i];  // the pieces come in district order
    }
    return found == kNone ? kCellOutside : kCellWhole + found;
}

bool PlaceIndex::Impl::MakeGrid(double cellsPerPiece, Grid& g) const {
    g = Grid();
    if (pieceCount == 0)
        return false;
    const Box* boxes = levels[0];
    Box all = boxes[0];
    for (size_t i = 1; i < pieceCount; ++i) {
        all.minX = std::min(all.minX, boxes[i].minX);
        all.minY = std::min(all.minY, boxes[i].minY);
        all.maxX = std::max(all.maxX, boxes[i].maxX);
        all.maxY = std::max(all.maxY, boxes[i].maxY);
    }
    // Square cells, a power of two wide, about cellsPerPiece for each piece.
    const double w = double(all.maxX) - all.minX + 1, h = double(all.maxY) - all.minY + 1;
    const double side = std::sqrt(w * h / double(pieceCount) / cellsPerPiece);
    uint32_t shift = 0;
    while (shift < 30 && double(int64_t(1) << shift) < side)
        ++shift;
    const uint64_t cellsX = ((int64_t(all.maxX) - all.minX) >> shift) + 1;
    const uint64_t cellsY = ((int64_t(all.maxY) - all.minY) >> shift) + 1;
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
                f(static_cast<size_t>(y) * cellsX + static_cast<size_t>(x));
    };
    // Real pieces are small and meet a few cells, and their boxes fill a region that is not
    // a sliver. A file whose boxes say otherwise keeps to the tree rather than fill memory
    // with a grid.
    const double limit = std::max(cellsPerPiece, 1.0) * double(pieceCount);
    uint64_t entries = 0;
    for (size_t i = 0; i < pieceCount; ++i) {
        const Span s = spanOf(boxes[i]);
        if (s.x1 >= s.x0 && s.y1 >= s.y0)
            entries += uint64_t(s.x1 - s.x0 + 1) * uint64_t(s.y1 - s.y0 + 1);
    }
    if (double(entries) > kMaxCellsPerPiece * limit || double(cellsX * cellsY) > 4 * limit + 1024 ||
        cellsX * cellsY > kMaxCells)
        return false;
    std::vector<uint32_t> starts(cellsX * cellsY + 1, 0);
    for (size_t i = 0; i < pieceCount; ++i)
        span(boxes[i], [&](size_t c) { ++starts[c + 1]; });
    for (size_t c = 1; c < starts.size(); ++c)
        starts[c] += starts[c - 1];
    std::vector<uint32_t> pieces(starts.back());
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    for (uint32_t i = 0; i < pieceCount; ++i)
        span(boxes[i], [&](size_t c) { pieces[next[c]++] = i; });
    for (size_t c = 0; c + 1 < starts.size(); ++c)
        std::stable_sort(pieces.begin() + starts[c], pieces.begin() + starts[c + 1],
                         [&](uint32_t a, uint32_t b) { return pieceDistricts[a] < pieceDistricts[b]; });
    g.x0 = all.minX;
    g.y0 = all.minY;
    g.shift = shift;
    g.cellsX = static_cast<uint32_t>(cellsX);
    g.cellsY = static_cast<uint32_t>(cellsY);
    g.starts = std::move(starts);
    g.pieces = std::move(pieces);
    return true;
}

void PlaceIndex::BuildCells() {
    Impl& im = *m_impl;
    if (im.cellsReady.load(std::memory_order_acquire))
        return;
    // About as many cells as pieces: a cell lists one or two pieces.
    Grid g;
    if (!im.MakeGrid(1.0, g))
        return;
    im.cellState.reset(new std::atomic<uint32_t>[size_t(g.cellsX) * g.cellsY]());
    im.cells = std::move(g);
    im.cellsReady.store(true, std::memory_order_release);
}

PlaceIndex::CellStates PlaceIndex::ClassifyCells(double cellsPerPiece) const {
    CellStates out;
    Grid g;
    if (!m_impl->MakeGrid(cellsPerPiece, g))
        return out;
    static_cast<CellGrid&>(out) = g;
    out.states.resize(size_t(g.cellsX) * g.cellsY);
    Decoded piece;
    for (size_t c = 0; c < out.states.size(); ++c)
        out.states[c] = m_impl->Classify(g, c, piece);
    return out;
}

// In bulk a lookup's time went mostly to waiting for memory: its cells, the cell's list of
// pieces, their boxes. So each is asked for some points before it is needed: the cells eight
// points ahead, the list four ahead, the boxes two ahead.
void PlaceIndex::LookupMany(const Query* q, size_t n, int64_t radius, Match* out, Crs crs) const {
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
        a.on = Locate(q[i].x, q[i].y, crs, a.pt, a.lat);
        if (a.on && im.storedStates) {
            const size_t s = im.stored.CellOf(a.pt);
            if (s != SIZE_MAX)
                __builtin_prefetch(&im.storedStates[s]);
        }
        a.cell = a.on && grid ? im.cells.CellOf(a.pt) : SIZE_MAX;
        if (a.cell != SIZE_MAX) {
            __builtin_prefetch(&im.cellState[a.cell]);
            __builtin_prefetch(&im.cells.starts[a.cell]);
        }
    };
    // A cell needs its pieces until its first lookup has found it whole or empty, and where
    // a border crosses it.
    auto pieces = [&](size_t i) {
        const size_t c = ahead[i % kAhead].cell;
        return c != SIZE_MAX && im.cellState[c].load(std::memory_order_relaxed) < kCellOutside
                   ? im.cells.Pieces(c)
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

}  // namespace lookupd
