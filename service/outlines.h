// Districts' and provinces' outlines rebuilt from the index's pieces, for a map: the pieces'
// seams dropped and the remaining edges joined into rings, then simplified.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "index/place_index.h"

namespace lookupd {

using Chain = std::vector<Fixed>;

// Closed rings (the last vertex not repeated) and open lines: edges that close into no ring,
// which a damaged piece would leave (the real index has none).
struct Outline {
    std::vector<Chain> rings;
    std::vector<Chain> lines;
    size_t VertexCount() const;
};

class OutlineSource {
public:
    explicit OutlineSource(const PlaceIndex& index) : m_index(index) {}

    // The districts' outlines at full resolution, as one.
    Outline Merge(const std::vector<uint32_t>& districts) const;

    // The districts whose outlines come within kTouch of this one's at two vertices or more.
    std::vector<uint32_t> Neighbours(uint32_t district) const;

    // How close two outlines' vertices must be to count as one border: 0.0005 degree, some
    // 50 m, for borders that were drawn apart by two sources.
    static constexpr int32_t kTouch = static_cast<int32_t>(0.0005 * kMapUnitsPerDegree * kSubUnits);

private:
    // The pieces of every district and every district's box, from one pass over the pieces
    // the first time either is needed.
    void Prepare() const;

    const PlaceIndex& m_index;
    mutable std::once_flag m_once;
    mutable std::vector<std::vector<uint32_t>> m_pieces;  // by district
    mutable std::vector<Box> m_boxes;                     // by district
};

// Douglas-Peucker to within tolerance (1/32 map units). A closed ring that shrinks below
// three vertices is returned empty unless keep is set, when it keeps its three widest.
Chain Simplify(const Chain& chain, bool closed, double tolerance, bool keep);

// Rings grouped into polygons (outline first, then its holes): a ring inside an even number of
// others is an outline, one inside an odd number a hole of the smallest outline around it.
std::vector<std::vector<const Chain*>> GroupRings(const std::vector<Chain>& rings);

// The point of the outline's edges nearest to p, in a plane whose x is shrunk by the cosine
// of p's latitude (as metres are); false for an outline without edges.
bool NearestOnOutline(const Outline& outline, Fixed p, Fixed& nearest);

}  // namespace lookupd
