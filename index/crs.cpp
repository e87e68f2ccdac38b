#include "index/crs.h"

#include <cmath>
#include <cstring>

namespace lookupd {

namespace {

struct Alias {
    const char* name;
    Crs crs;
};
const Alias kAliases[] = {{"wgs84", Crs::kWgs84},   {"gcj02", Crs::kGcj02}, {"amap", Crs::kGcj02},
                          {"tencent", Crs::kGcj02}, {"bd09", Crs::kBd09},   {"baidu", Crs::kBd09}};

// Baidu's constant: pi * 3000 / 180.
constexpr double kXPi = 3.14159265358979324 * 3000.0 / 180.0;

// Solves forward(x) = target for x by fixed-point steps from a first guess: the offsets change
// slowly, so each step gains several digits. A bounded number of steps ends it either way.
template <class Forward>
void Invert(Forward forward, double lon, double lat, double guessLon, double guessLat, double& outLon, double& outLat) {
    double x = guessLon, y = guessLat;
    for (int step = 0; step < 30; ++step) {
        double fx, fy;
        forward(x, y, fx, fy);
        const double dx = lon - fx, dy = lat - fy;
        x += dx;
        y += dy;
        if (std::fabs(dx) < 1e-12 && std::fabs(dy) < 1e-12)
            break;
    }
    outLon = x;
    outLat = y;
}

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

bool InGcj02Area(double lon, double lat) {
    return lon >= 72.004 && lon <= 137.8347 && lat >= 0.8293 && lat <= 55.8271;
}

void Wgs84ToGcj02(double lon, double lat, double& outLon, double& outLat) {
    if (!InGcj02Area(lon, lat)) {
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

void Gcj02ToWgs84(double lon, double lat, double& outLon, double& outLat) {
    if (!InGcj02Area(lon, lat)) {
        outLon = lon;
        outLat = lat;
        return;
    }
    Invert(Wgs84ToGcj02, lon, lat, lon, lat, outLon, outLat);
}

void Gcj02ToBd09(double lon, double lat, double& outLon, double& outLat) {
    const double z = std::sqrt(lon * lon + lat * lat) + 0.00002 * std::sin(lat * kXPi);
    const double theta = std::atan2(lat, lon) + 0.000003 * std::cos(lon * kXPi);
    outLon = z * std::cos(theta) + 0.0065;
    outLat = z * std::sin(theta) + 0.006;
}

void Bd09ToGcj02(double lon, double lat, double& outLon, double& outLat) {
    const double x = lon - 0.0065, y = lat - 0.006;
    const double z = std::sqrt(x * x + y * y) - 0.00002 * std::sin(y * kXPi);
    const double theta = std::atan2(y, x) - 0.000003 * std::cos(x * kXPi);
    Invert(Gcj02ToBd09, lon, lat, z * std::cos(theta), z * std::sin(theta), outLon, outLat);
}

void ConvertCrs(Crs from, Crs to, double& lon, double& lat) {
    if (from == to)
        return;
    if (from == Crs::kWgs84)
        Wgs84ToGcj02(lon, lat, lon, lat);
    else if (from == Crs::kBd09)
        Bd09ToGcj02(lon, lat, lon, lat);
    if (to == Crs::kWgs84)
        Gcj02ToWgs84(lon, lat, lon, lat);
    else if (to == Crs::kBd09)
        Gcj02ToBd09(lon, lat, lon, lat);
}

bool ParseCrs(std::string_view name, Crs& out) {
    for (const Alias& a : kAliases) {
        if (name.size() != std::strlen(a.name))
            continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i)
            same = (name[i] >= 'A' && name[i] <= 'Z' ? name[i] - 'A' + 'a' : name[i]) == a.name[i];
        if (same) {
            out = a.crs;
            return true;
        }
    }
    return false;
}

const char* CrsName(Crs crs) {
    switch (crs) {
        case Crs::kGcj02:
            return "gcj02";
        case Crs::kBd09:
            return "bd09";
        case Crs::kWgs84:
            break;
    }
    return "wgs84";
}

const char* KnownCrsNames() {
    return "wgs84, gcj02 (also amap, tencent), bd09 (also baidu)";
}

}  // namespace lookupd
