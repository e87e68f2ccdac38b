#include "index/geo.h"

#include <cmath>

namespace lookupd {

int32_t DegreesToFixed(double degrees) {
    double v = std::nearbyint(degrees * kMapUnitsPerDegree * kSubUnits / 2.0) * 2.0;
    return static_cast<int32_t>(v);
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kA = 6378245.0;                // semi-major axis of the Krasovsky ellipsoid
constexpr double kEe = 0.00669342162296594323;  // its first eccentricity squared

// The term both offsets share, taken once: sines are most of the transform's time.
double Ripple(double x) {
    return (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
}

double OffsetLat(double x, double y, double ripple) {
    double r = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x));
    r += ripple;
    r += (20.0 * std::sin(y * kPi) + 40.0 * std::sin(y / 3.0 * kPi)) * 2.0 / 3.0;
    r += (160.0 * std::sin(y / 12.0 * kPi) + 320 * std::sin(y * kPi / 30.0)) * 2.0 / 3.0;
    return r;
}

double OffsetLon(double x, double y, double ripple) {
    double r = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x));
    r += ripple;
    r += (20.0 * std::sin(x * kPi) + 40.0 * std::sin(x / 3.0 * kPi)) * 2.0 / 3.0;
    r += (150.0 * std::sin(x / 12.0 * kPi) + 300.0 * std::sin(x / 30.0 * kPi)) * 2.0 / 3.0;
    return r;
}

}  // namespace

void Wgs84ToGcj02(double lon, double lat, double& outLon, double& outLat) {
    // The offset is only defined over the rough box of China; elsewhere positions stay as they are.
    if (lon < 72.004 || lon > 137.8347 || lat < 0.8293 || lat > 55.8271) {
        outLon = lon;
        outLat = lat;
        return;
    }
    const double ripple = Ripple(lon - 105.0);
    double dLat = OffsetLat(lon - 105.0, lat - 35.0, ripple);
    double dLon = OffsetLon(lon - 105.0, lat - 35.0, ripple);
    double radLat = lat / 180.0 * kPi;
    double magic = std::sin(radLat);
    magic = 1 - kEe * magic * magic;
    double sqrtMagic = std::sqrt(magic);
    dLat = (dLat * 180.0) / ((kA * (1 - kEe)) / (magic * sqrtMagic) * kPi);
    dLon = (dLon * 180.0) / (kA / sqrtMagic * std::cos(radLat) * kPi);
    outLon = lon + dLon;
    outLat = lat + dLat;
}

}  // namespace lookupd
