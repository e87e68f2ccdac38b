// District polygons as the index stores them: cut into small pieces so that a point test
// touches few vertices.
#pragma once

#include <cstdint>
#include <vector>

#include "index/geo.h"

namespace lookupd {

using FixedRing = std::vector<Fixed>;  // open: the last vertex is not repeated

// A box in 1/32 map units, edges included; also the index file's record of a piece's box.
struct Box {
    int32_t minX, minY, maxX, maxY;
};

// A piece of one polygon: rings[0] is the outline, the rest are holes, all
// clipped to one cell. Seams along the cell's edges lie on odd coordinates.
struct Piece {
    std::vector<FixedRing> rings;
};

// The smallest box holding every vertex of the rings.
Box Bounds(const std::vector<FixedRing>& rings);

// True for an edge that lies along a cut rather than along a real border.
inline bool IsSeam(Fixed a, Fixed b) {
    return (a.x == b.x && (a.x & 1)) || (a.y == b.y && (a.y & 1));
}

}  // namespace lookupd
