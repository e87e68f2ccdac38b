// GeoJSON out of the batch tool: one FeatureCollection or a text sequence, a Feature per row
// (refused ones with no geometry), points in WGS-84 whatever system the input is in.
#include <nlohmann/json.hpp>

#include "index/crs.h"
#include "run_helpers.h"

using namespace geocode_test;
using nlohmann::json;

namespace {

// The Features of a GeoJSON text sequence: each after a record separator, ending its line.
std::vector<json> Sequence(const std::string& text) {
    std::vector<json> features;
    size_t at = 0;
    while (at < text.size()) {
        EXPECT_EQ(text[at], '\x1E') << "at byte " << at;
        const size_t end = text.find('\n', at);
        EXPECT_NE(end, std::string::npos);
        features.push_back(json::parse(text.substr(at + 1, end - at - 1), nullptr, false));
        at = end + 1;
    }
    return features;
}

}  // namespace

TEST(GeoJson, ACollectionAndASequenceHoldEveryRowInOrderAndAStrictStopClosesIt) {
    const Result csv = Geocode(Sample("survey.csv"));
    const Result collection = Geocode("--geojson " + Sample("survey.csv"));
    const Result sequence = Geocode("--geojsonseq " + Sample("survey.csv"));
    EXPECT_EQ(collection.status, csv.status);
    EXPECT_EQ(collection.err, csv.err);  // the same rows refused, for the same reasons
    const json fc = json::parse(collection.out, nullptr, false);
    ASSERT_FALSE(fc.is_discarded()) << collection.out;
    EXPECT_EQ(fc["type"], "FeatureCollection");
    const std::vector<json> seq = Sequence(sequence.out);
    ASSERT_EQ(fc["features"].size(), Lines(csv.out) - 1);
    ASSERT_EQ(seq.size(), fc["features"].size());
    size_t refused = 0, lastLine = 0;
    for (size_t i = 0; i < seq.size(); ++i) {
        const json& f = fc["features"][i];
        EXPECT_EQ(f, seq[i]);
        EXPECT_EQ(f["type"], "Feature");
        const json& p = f["properties"];
        EXPECT_GT(p["line"].get<size_t>(), lastLine);
        lastLine = p["line"];
        if (p["error"].is_null()) {
            EXPECT_EQ(f["geometry"]["type"], "Point");  // at sea too, where no district is named
        } else {
            ++refused;
            EXPECT_TRUE(f["geometry"].is_null()) << p;
            EXPECT_EQ(p["province"], "");
        }
    }
    EXPECT_GT(refused, 0u);
    const json& first = fc["features"][0];
    EXPECT_EQ(first["properties"]["点号"], "P1");  // the input's own fields
    EXPECT_EQ(first["properties"]["经度"], "113.65735");
    EXPECT_EQ(first["properties"]["district"], "金水区");
    EXPECT_EQ(first["geometry"]["coordinates"], json({113.65735, 34.7913917}));
    // --strict ends the run at the first refused row; the collection is still whole JSON.
    const Result stopped = Geocode("--strict --geojson " + Sample("survey.csv"));
    EXPECT_EQ(stopped.status, 1);
    json strict = json::parse(stopped.out, nullptr, false);
    ASSERT_FALSE(strict.is_discarded() || strict["features"].empty());
    EXPECT_FALSE(strict["features"].back()["properties"]["error"].is_null());
}

// The same numbers read as GPS, as Amap and as Baidu give them: each answers the district there,
// the point comes out in WGS-84 and the input's text stays as it was.
TEST_F(Samples, GeoJsonInEachCoordinateSystemOfTheInput) {
    const struct {
        const char* crs;
        lookupd::Crs system;
        const char* district;
    } cases[] = {{"wgs84", lookupd::Crs::kWgs84, "管城回族区"},
                 {"amap", lookupd::Crs::kGcj02, "二七区"},
                 {"bd09", lookupd::Crs::kBd09, "二七区"}};
    const std::string path = ::testing::TempDir() + "geojson_" + std::to_string(getpid()) + ".txt";
    std::ofstream(path) << "113.666 34.704\n";
    for (const auto& c : cases) {
        for (const std::string& engine : {std::string(), "--service " + s_service->Address() + " "}) {
            Result r = Geocode(engine + "--geojsonseq --from plain --crs " + c.crs + " " + path);
            ASSERT_EQ(r.status, 0) << c.crs << " " << engine << r.err;
            const std::vector<json> seq = Sequence(r.out);
            ASSERT_EQ(seq.size(), 1u);
            const json& f = seq[0];
            EXPECT_EQ(f["properties"]["district"], c.district) << c.crs << " " << engine;
            EXPECT_EQ(f["properties"]["lon"], "113.666");
            double lon = f["geometry"]["coordinates"][0], lat = f["geometry"]["coordinates"][1];
            lookupd::ConvertCrs(lookupd::Crs::kWgs84, c.system, lon, lat);
            EXPECT_NEAR(lon, 113.666, 2e-7) << c.crs;
            EXPECT_NEAR(lat, 34.704, 2e-7) << c.crs;
        }
    }
    std::remove(path.c_str());
}
