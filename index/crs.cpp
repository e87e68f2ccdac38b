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

// The sines the offsets take of one coordinate t: of t*pi, t*pi/3, t*pi/12, t*pi/30, and the
// ripple sin(6*t*pi) and sin(2*t*pi) make. All come from one sine and cosine of t*pi/60 by the
// multiple-angle formulas: the thirteen sines of the usual form were most of a lookup's time.
// They agree with it to about 1e-13 degree, far below the index's 1/32 map unit.
struct Sines {
    double pi, third, twelfth, thirtieth, ripple;
};

Sines SinesOf(double t) {
    const double a = t * kPi / 60.0;
    const double s60 = std::sin(a), c60 = std::cos(a);
    const double ss = s60 * s60, cc = c60 * c60;
    const double s12 = s60 * (16.0 * ss * ss - 20.0 * ss + 5.0), c12 = c60 * (16.0 * cc * cc - 20.0 * cc + 5.0);
    const double s6 = 2.0 * s12 * c12, c6 = 1.0 - 2.0 * s12 * s12;
    const double s3 = 2.0 * s6 * c6, c3 = 1.0 - 2.0 * s6 * s6;
    const double s1 = s3 * (3.0 - 4.0 * s3 * s3), c1 = c3 * (4.0 * c3 * c3 - 3.0);
    const double sTwo = 2.0 * s1 * c1, sSix = sTwo * (3.0 - 4.0 * sTwo * sTwo);
    return Sines{s1, s3, s12, 2.0 * s60 * c60, (20.0 * sSix + 20.0 * sTwo) * 2.0 / 3.0};
}

double OffsetLat(double x, double y, const Sines& sx, const Sines& sy) {
    double r = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x));
    r += sx.ripple;
    r += (20.0 * sy.pi + 40.0 * sy.third) * 2.0 / 3.0;
    r += (160.0 * sy.twelfth + 320 * sy.thirtieth) * 2.0 / 3.0;
    return r;
}

double OffsetLon(double x, double y, const Sines& sx) {
    double r = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x));
    r += sx.ripple;
    r += (20.0 * sx.pi + 40.0 * sx.third) * 2.0 / 3.0;
    r += (150.0 * sx.twelfth + 300.0 * sx.thirtieth) * 2.0 / 3.0;
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
    const double x = lon - 105.0, y = lat - 35.0;
    const Sines sx = SinesOf(x), sy = SinesOf(y);
    double dLat = OffsetLat(x, y, sx, sy);
    double dLon = OffsetLon(x, y, sx);
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
