// Cutting district polygons into small pieces so that a point test touches few vertices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "geo.h"

namespace lookupd {

using FixedRing = std::vector<Fixed>;  // open: the last vertex is not repeated

struct FixedBox {
    int32_t minX, minY, maxX, maxY;
};

// A piece of one polygon: rings[0] is the outline, the rest are holes, all
// clipped to one cell. Seams along the cell's edges lie on odd coordinates.
struct Piece {
    std::vector<FixedRing> rings;
};

// Drops repeated consecutive vertices and a repeated closing vertex; returns false when
// fewer than three vertices remain.
bool TidyRing(FixedRing& ring);

// The smallest box holding every vertex of the rings.
FixedBox Bounds(const std::vector<FixedRing>& rings);

// Clips a ring to a box whose edges lie on odd coordinates, keeping the
// winding number of every point strictly inside the box. Crossing points are
// rounded to even numbers along the cut so that two polygons sharing an edge
// get the same crossing.
FixedRing ClipRing(const FixedRing& ring, const FixedBox& box);

// Splits a polygon (outline plus holes) into pieces of at most `maxVertices`
// vertices each, except where a cell becomes too small to cut further.
void SplitPolygon(const std::vector<FixedRing>& rings, size_t maxVertices, std::vector<Piece>& out);

// True for an edge that lies along a cut rather than along a real border.
inline bool IsSeam(Fixed a, Fixed b) {
    return (a.x == b.x && (a.x & 1)) || (a.y == b.y && (a.y & 1));
}

}  // namespace lookupd
