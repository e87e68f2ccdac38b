#include "index/geo.h"

#include <cmath>

namespace lookupd {

int32_t DegreesToFixed(double degrees) {
    double v = std::nearbyint(degrees * kMapUnitsPerDegree * kSubUnits / 2.0) * 2.0;
    return static_cast<int32_t>(v);
}

}  // namespace lookupd
