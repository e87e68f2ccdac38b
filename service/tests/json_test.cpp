// The JSON route's answers in process, from the real index: the shapes that geocoding clients
// read, the levels zoom asks for, the coordinate systems, and refusals that name the parameter.
#include <nlohmann/json.hpp>

#include "index/crs.h"
#include "service/tests/routes_on_index.h"

using namespace lookupd;
using nlohmann::json;

namespace {

class JsonRoute : public lookupd::testing::RoutesOnIndex {
protected:
    // The reply to GET target, its body parsed; every body must be JSON.
    static json Ask(const std::string& target, int status = 200) {
        HttpReply r = Get(target);
        EXPECT_EQ(r.status, status) << target << ": " << r.body;
        EXPECT_STREQ(r.contentType, "application/json; charset=utf-8");
        EXPECT_TRUE(r.anyOrigin);
        json j = json::parse(r.body, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << r.body;
        return j;
    }
};

const char kExample[] = "/reverse?lat=34.79139167&lon=113.65735";

}  // namespace

TEST_F(JsonRoute, EachFormatInTheShapeClientsRead) {
    const json address = {{"county", "金水区"},        {"city", "郑州市"},  {"state", "河南省"},
                          {"ISO3166-2-lvl4", "CN-HA"}, {"country", "中国"}, {"country_code", "cn"}};
    json j = Ask(kExample);
    EXPECT_EQ(j["lat"], "34.7913917");
    EXPECT_EQ(j["lon"], "113.6573500");
    EXPECT_EQ(j["display_name"], "金水区, 郑州市, 河南省, 中国");
    EXPECT_EQ(j["address"], address);
    EXPECT_EQ(j["division_code"], "410105");
    EXPECT_TRUE(j["distance_m"].is_null());
    EXPECT_FALSE(j.contains("place_rank"));

    j = Ask(std::string(kExample) + "&format=jsonv2");
    EXPECT_EQ(j["place_rank"], 12);
    EXPECT_EQ(j["addresstype"], "county");
    EXPECT_EQ(j["name"], "金水区");
    EXPECT_EQ(j["address"], address);

    j = Ask(std::string(kExample) + "&format=geojson");
    EXPECT_EQ(j["type"], "FeatureCollection");
    ASSERT_EQ(j["features"].size(), 1u);
    const json& f = j["features"][0];
    EXPECT_EQ(f["geometry"]["type"], "Point");
    EXPECT_NEAR(f["geometry"]["coordinates"][0].get<double>(), 113.65735, 1e-7);
    EXPECT_NEAR(f["geometry"]["coordinates"][1].get<double>(), 34.79139167, 1e-7);
    EXPECT_EQ(f["properties"]["address"], address);
    EXPECT_EQ(f["properties"]["division_code"], "410105");

    j = Ask(std::string(kExample) + "&format=geocodejson");
    const json& g = j["features"][0]["properties"]["geocoding"];
    EXPECT_EQ(g["label"], "金水区, 郑州市, 河南省, 中国");
    EXPECT_EQ(g["county"], "金水区");
    EXPECT_EQ(g["type"], "county");
    EXPECT_EQ(j["geocoding"]["version"], "0.1.0");
}

TEST_F(JsonRoute, ZoomStopsAtTheLevelsTheNameHas) {
    const struct {
        const char* query;
        const char* name;
        const char* type;
        const char* display;
    } cases[] = {
        {"lat=34.79139167&lon=113.65735&zoom=3", "河南省", "state", "河南省, 中国"},
        {"lat=34.79139167&lon=113.65735&zoom=6", "郑州市", "city", "郑州市, 河南省, 中国"},
        {"lat=34.79139167&lon=113.65735&zoom=8", "金水区", "county", "金水区, 郑州市, 河南省, 中国"},
        // A municipality is its own prefecture; 东莞市 has no district below it.
        {"lat=39.9&lon=116.4&zoom=7", "北京市", "state", "北京市, 中国"},
        {"lat=39.9&lon=116.4", "东城区", "county", "东城区, 北京市, 中国"},
        {"lat=23.02&lon=113.75&zoom=18", "东莞市", "city", "东莞市, 广东省, 中国"},
    };
    for (const auto& c : cases) {
        json j = Ask(std::string("/reverse?format=jsonv2&") + c.query);
        EXPECT_EQ(j["name"], c.name) << c.query;
        EXPECT_EQ(j["addresstype"], c.type) << c.query;
        EXPECT_EQ(j["display_name"], c.display) << c.query;
    }
}

TEST_F(JsonRoute, NearTheCoastAndAtSea) {
    json j = Ask("/reverse?lat=31.295&lon=121.745");  // 1.1 km off Pudong
    EXPECT_EQ(j["address"]["county"], "浦东新区");
    EXPECT_NEAR(j["distance_m"].get<double>(), 1071, 5);
    EXPECT_EQ(Ask("/reverse?lat=20&lon=120"), json({{"error", "Unable to geocode"}}));
    EXPECT_EQ(Ask("/reverse?lat=-8&lon=%2B5"), json({{"error", "Unable to geocode"}}));  // signs are read
}

// The same numbers, read in each system: the answer is the district there, and the position
// comes back in WGS-84 whatever it came in (converted back, it is the one asked for).
TEST_F(JsonRoute, CoordinateSystems) {
    const struct {
        const char* coordtype;
        Crs crs;
        const char* county;
    } cases[] = {
        {"wgs84", Crs::kWgs84, "管城回族区"},
        {"gcj02", Crs::kGcj02, "二七区"},
        {"baidu", Crs::kBd09, "二七区"},
    };
    for (const auto& c : cases) {
        json j = Ask(std::string("/reverse?lat=34.704&lon=113.666&coordtype=") + c.coordtype);
        EXPECT_EQ(j["address"]["county"], c.county) << c.coordtype;
        double lon = std::stod(j["lon"].get<std::string>()), lat = std::stod(j["lat"].get<std::string>());
        EXPECT_EQ(lon == 113.666 && lat == 34.704, c.crs == Crs::kWgs84) << c.coordtype;
        ConvertCrs(Crs::kWgs84, c.crs, lon, lat);
        EXPECT_NEAR(lon, 113.666, 2e-7) << c.coordtype;
        EXPECT_NEAR(lat, 34.704, 2e-7) << c.coordtype;
    }
    // The text route takes the same parameter; without it, it answers as it always has.
    const std::string text = "/GetTextByPos?x=40919760&y=12493440&radius=6000&service=gettext";
    // 河南省郑州市管城回族区
    EXPECT_EQ(Get(text).body,
              "\xBA\xD3\xC4\xCF\xCA\xA1\xD6\xA3\xD6\xDD\xCA\xD0\xB9\xDC\xB3\xC7\xBB\xD8\xD7\xE5\xC7\xF8");
    HttpReply gcj = Get(text + "&coordtype=gcj02");
    EXPECT_NE(gcj.body.find("\xB6\xFE\xC6\xDF\xC7\xF8"), std::string::npos);  // 二七区
    EXPECT_FALSE(gcj.anyOrigin);
    HttpReply bad = Get(text + "&coordtype=wgs");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.body,
              "400 Bad Request: parameter coordtype must be one of wgs84, gcj02 (also amap, tencent), "
              "bd09 (also baidu)");
}

TEST_F(JsonRoute, RefusalsNameTheParameter) {
    const struct {
        const char* query;
        const char* says;
    } cases[] = {
        {"lon=113.6", "'lat' is missing"},
        {"lat=34.7", "'lon' is missing"},
        {"lat=34.7&lon=1e2", "'lon' must be"},
        {"lat=34.7&lon=113.6.5", "'lon' must be"},
        {"lat=90.5&lon=113.6", "'lat' must be"},
        {"lat=&lon=113.6", "'lat' must be"},
        {"lat=34.7&lon=-180.01", "'lon' must be"},
        {"lat=34.7&lon=113.6&format=xml", "'format' must be one of"},
        {"lat=34.7&lon=113.6&zoom=19", "'zoom' must be"},
        {"lat=34.7&lon=113.6&zoom=x", "'zoom' must be"},
        {"lat=34.7&lon=113.6&coordtype=gcj", "'coordtype' must be one of wgs84, gcj02"},
    };
    for (const auto& c : cases) {
        json j = Ask(std::string("/reverse?") + c.query, 400);
        EXPECT_EQ(j["error"]["code"], 400) << c.query;
        EXPECT_NE(j["error"]["message"].get<std::string>().find(c.says), std::string::npos) << c.query << ": " << j;
    }
}
