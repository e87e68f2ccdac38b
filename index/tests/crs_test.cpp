// The coordinate systems: agreement with published values, Baidu's own step outside China, the
// names, and positions near a county border whose answer depends on the system they are read in.
#include <gtest/gtest.h>

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

}  // namespace

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
