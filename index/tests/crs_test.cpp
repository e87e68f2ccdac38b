// The coordinate systems: conversions that invert each other, agreement with published values,
// and positions near a county border whose answer depends on the system they are read in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "index/crs.h"
#include "index/gbk.h"
#include "index/place_index.h"

using namespace lookupd;

namespace {

// The distance in metres between two positions a few metres apart.
double Metres(double lon1, double lat1, double lon2, double lat2) {
    const double kMetresPerDegree = 111195.0;
    const double c = std::cos(lat1 * 3.14159265358979323846 / 180.0);
    return std::hypot((lon1 - lon2) * c, lat1 - lat2) * kMetresPerDegree;
}

// WGS-84 to GCJ-02 in the usual form, sine by sine (as the npm package coordtransform has it).
void PlainWgs84ToGcj02(double lon, double lat, double& outLon, double& outLat) {
    const double pi = 3.14159265358979323846, a = 6378245.0, ee = 0.00669342162296594323;
    const double x = lon - 105.0, y = lat - 35.0;
    const double ripple = (20.0 * std::sin(6.0 * x * pi) + 20.0 * std::sin(2.0 * x * pi)) * 2.0 / 3.0;
    double dLat = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x)) + ripple +
                  (20.0 * std::sin(y * pi) + 40.0 * std::sin(y / 3.0 * pi)) * 2.0 / 3.0 +
                  (160.0 * std::sin(y / 12.0 * pi) + 320 * std::sin(y * pi / 30.0)) * 2.0 / 3.0;
    double dLon = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x)) + ripple +
                  (20.0 * std::sin(x * pi) + 40.0 * std::sin(x / 3.0 * pi)) * 2.0 / 3.0 +
                  (150.0 * std::sin(x / 12.0 * pi) + 300.0 * std::sin(x / 30.0 * pi)) * 2.0 / 3.0;
    const double radLat = lat / 180.0 * pi, magic = 1 - ee * std::sin(radLat) * std::sin(radLat);
    dLat = (dLat * 180.0) / ((a * (1 - ee)) / (magic * std::sqrt(magic)) * pi);
    dLon = (dLon * 180.0) / (a / std::sqrt(magic) * std::cos(radLat) * pi);
    outLon = lon + dLon;
    outLat = lat + dLat;
}

}  // namespace

// Ours takes the same sines by multiple-angle formulas, for speed; it must agree with the usual
// form far below the index's 1/32 map unit (about 1e-7 degree).
TEST(Crs, ShiftAgreesWithTheUsualForm) {
    double worst = 0;
    for (double lat = 17.93; lat <= 54.0; lat += 0.173)
        for (double lon = 72.31; lon <= 135.5; lon += 0.191) {
            double lon1, lat1, lon2, lat2;
            Wgs84ToGcj02(lon, lat, lon1, lat1);
            PlainWgs84ToGcj02(lon, lat, lon2, lat2);
            worst = std::max({worst, std::fabs(lon1 - lon2), std::fabs(lat1 - lat2)});
        }
    EXPECT_LT(worst, 1e-12);
}

TEST(Crs, RoundTripsOverChinaHoldToAMillimetre) {
    double worstGcj = 0, worstBd = 0;
    for (double lat = 18.0; lat <= 53.5; lat += 0.25)
        for (double lon = 73.5; lon <= 135.0; lon += 0.25) {
            double gLon, gLat, wLon, wLat;
            Wgs84ToGcj02(lon, lat, gLon, gLat);
            ASSERT_GT(Metres(lon, lat, gLon, gLat), 1.0) << lon << "," << lat << " is not shifted";
            Gcj02ToWgs84(gLon, gLat, wLon, wLat);
            worstGcj = std::max(worstGcj, Metres(lon, lat, wLon, wLat));
            double bLon, bLat;
            Bd09ToGcj02(lon, lat, gLon, gLat);
            Gcj02ToBd09(gLon, gLat, bLon, bLat);
            worstBd = std::max(worstBd, Metres(lon, lat, bLon, bLat));
        }
    EXPECT_LT(worstGcj, 0.001);
    EXPECT_LT(worstBd, 0.001);
}

TEST(Crs, PublishedPairs) {
    // The examples in the test of the npm package coordtransform (test/app.js), for the
    // position 116.404, 39.915.
    double lon, lat;
    Wgs84ToGcj02(116.404, 39.915, lon, lat);
    EXPECT_NEAR(lon, 116.41024449916938, 1e-9);
    EXPECT_NEAR(lat, 39.91640428150164, 1e-9);
    Gcj02ToBd09(116.404, 39.915, lon, lat);
    EXPECT_NEAR(lon, 116.41036949371029, 1e-9);
    EXPECT_NEAR(lat, 39.92133699351021, 1e-9);
}

TEST(Crs, OutsideChinaOnlyBaidusOwnStepApplies) {
    double lon, lat;
    for (auto convert : {Wgs84ToGcj02, Gcj02ToWgs84}) {
        convert(2.3522, 48.8566, lon, lat);  // Paris
        EXPECT_EQ(lon, 2.3522);
        EXPECT_EQ(lat, 48.8566);
    }
    lon = 2.3522, lat = 48.8566;
    ConvertCrs(Crs::kWgs84, Crs::kBd09, lon, lat);
    EXPECT_GT(Metres(lon, lat, 2.3522, 48.8566), 100.0);
    ConvertCrs(Crs::kBd09, Crs::kWgs84, lon, lat);
    EXPECT_LT(Metres(lon, lat, 2.3522, 48.8566), 0.001);
}

TEST(Crs, NamesAndAliases) {
    const struct {
        const char* name;
        Crs crs;
    } known[] = {{"wgs84", Crs::kWgs84},   {"WGS84", Crs::kWgs84}, {"gcj02", Crs::kGcj02}, {"amap", Crs::kGcj02},
                 {"Tencent", Crs::kGcj02}, {"bd09", Crs::kBd09},   {"baidu", Crs::kBd09}};
    for (const auto& k : known) {
        Crs c = Crs::kWgs84 == k.crs ? Crs::kBd09 : Crs::kWgs84;
        EXPECT_TRUE(ParseCrs(k.name, c)) << k.name;
        EXPECT_EQ(c, k.crs) << k.name;
    }
    for (const char* name : {"", "wgs", "wgs840", "gcj-02", "bd09ll", "google"}) {
        Crs c;
        EXPECT_FALSE(ParseCrs(name, c)) << name;
    }
    EXPECT_STREQ(CrsName(Crs::kBd09), "bd09");
    EXPECT_STREQ(CrsName(Crs::kGcj02), "gcj02");
}

// 113.666, 34.704 lies in 管城回族区 as GPS gives it; the same numbers picked on a Chinese map
// (GCJ-02) lie several hundred metres away, in 二七区. Both answers hold 100 m around, so neither is a
// border's accident, and each is the other system's answer for the converted position.
TEST(Crs, ANearBorderPositionIsRightForEachSystem) {
    PlaceIndex index;
    ASSERT_EQ(index.Load(LUMENO_INDEX_FILE), "");
    auto name = [&](double lon, double lat, Crs crs) {
        Match m = index.Lookup(std::llround(lon * 360000), std::llround(lat * 360000), 0, crs);
        std::string utf8;
        return m.kind == Match::kInside && GbkToUtf8(index.Name(m.district), utf8) ? utf8 : "-";
    };
    const double lon = 113.666, lat = 34.704;
    const struct {
        Crs crs;
        const char* district;
    } cases[] = {{Crs::kWgs84, "河南省郑州市管城回族区"}, {Crs::kGcj02, "河南省郑州市二七区"}};
    for (const auto& c : cases) {
        double wLon = lon, wLat = lat;
        ConvertCrs(c.crs, Crs::kWgs84, wLon, wLat);
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                EXPECT_EQ(name(wLon + dx * 0.0011, wLat + dy * 0.0009, Crs::kWgs84), c.district)
                    << CrsName(c.crs) << " " << dx << "," << dy;
        for (Crs as : {Crs::kGcj02, Crs::kBd09}) {
            double aLon = wLon, aLat = wLat;
            ConvertCrs(Crs::kWgs84, as, aLon, aLat);
            EXPECT_EQ(name(aLon, aLat, as), c.district) << CrsName(c.crs) << " read back as " << CrsName(as);
        }
    }
}
