// Fixed-point coordinates shared by the converter and the service.
#pragma once

#include <cstdint>

namespace lookupd {

// Map units are 1/360000 degree. Polygons are stored in 1/32 map unit so that
// every source vertex (a multiple of 1/1024 degree, or rounded to 1/16 map
// unit) is an even number and the lines along which the converter cuts
// polygons into pieces can be odd numbers: no vertex and no query point (an
// integer map unit, hence even) ever lies on a cut.
constexpr int32_t kSubUnits = 32;
constexpr double kMapUnitsPerDegree = 360000.0;
constexpr double kMetresPerMapUnit = 6371008.8 * 3.14159265358979323846 / 180.0 / kMapUnitsPerDegree;

struct Fixed {
    int32_t x;
    int32_t y;
};

inline bool operator==(Fixed a, Fixed b) {
    return a.x == b.x && a.y == b.y;
}
inline bool operator!=(Fixed a, Fixed b) {
    return !(a == b);
}

// Degrees to the nearest even 1/32 map unit (source vertices must stay off the cut lines).
int32_t DegreesToFixed(double degrees);

}  // namespace lookupd
