#include "index/pieces.h"

#include <algorithm>

namespace lookupd {

Box Bounds(const std::vector<FixedRing>& rings) {
    Box b{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (const FixedRing& r : rings)
        for (Fixed p : r) {
            b.minX = std::min(b.minX, p.x);
            b.minY = std::min(b.minY, p.y);
            b.maxX = std::max(b.maxX, p.x);
            b.maxY = std::max(b.maxY, p.y);
        }
    return b;
}

}  // namespace lookupd
