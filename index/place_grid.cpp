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

// Cells per piece in BuildCells' grid: more cells, fewer pieces to try per point.
constexpr double kCellsPerPiece = 1.0;
// More than this many cells per piece on average, and the boxes are not a real index's.
constexpr uint64_t kMaxCellsPerPiece = 64;

}  // namespace

uint32_t PlaceIndex::Impl::Classify(size_t c, Decoded& piece) const {
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

// In bulk a lookup's time went mostly to waiting for memory: its cell, the cell's list of
// pieces, their boxes. So each is asked for some points before it is needed: the cell eight
// points ahead, its list four ahead, the boxes two ahead.
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

}  // namespace lookupd
