// Cutting district polygons into the index's pieces.
#pragma once

#include <cstddef>
#include <vector>

#include "index/pieces.h"

namespace lookupd {

// Drops repeated consecutive vertices and a repeated closing vertex; returns false when
// fewer than three vertices remain.
bool TidyRing(FixedRing& ring);

// Clips a ring to a box whose edges lie on odd coordinates, keeping the
// winding number of every point strictly inside the box. Crossing points are
// rounded to even numbers along the cut so that two polygons sharing an edge
// get the same crossing.
FixedRing ClipRing(const FixedRing& ring, const Box& box);

// Splits a polygon (outline plus holes) into pieces of at most `maxVertices`
// vertices each, except where a cell becomes too small to cut further.
void SplitPolygon(const std::vector<FixedRing>& rings, size_t maxVertices, std::vector<Piece>& out);

}  // namespace lookupd
