// The map page's routes in process, on the real index: the page's files and their policy, the
// position route, and the outline routes' shapes, tolerance ladder, refusals and size bounds.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <set>

#include "core/LocationQuery.h"
#include "index/tests/small_index.h"
#include "service/province_union.h"
#include "service/tests/routes_on_index.h"

namespace lookupd {
namespace {

using nlohmann::json;

class PageRoutes : public testing::RoutesOnIndex {
protected:
    static json GetJson(const std::string& target, int status = 200) {
        HttpReply r = Get(target);
        EXPECT_EQ(r.status, status) << target << ": " << r.body.substr(0, 300);
        return json::parse(r.body);
    }
};

// Inside any polygon of a MultiPolygon (even-odd over all its rings).
bool Covers(const json& geometry, double lon, double lat) {
    bool in = false;
    for (const json& polygon : geometry["coordinates"])
        for (const json& ring : polygon)
            for (size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
                const double xi = ring[i][0], yi = ring[i][1], xj = ring[j][0], yj = ring[j][1];
                if ((yi > lat) != (yj > lat) && lon < xi + (xj - xi) * (lat - yi) / (yj - yi))
                    in = !in;
            }
    return in;
}

double Metres(double lon1, double lat1, double lon2, double lat2) {
    const double k = 6371008.8 * M_PI / 180;
    return std::hypot((lon2 - lon1) * k * std::cos(lat1 * M_PI / 180), (lat2 - lat1) * k);
}

TEST(OutlineGeometry, HolesGoToTheirOutlineAndTinyRingsToTheCaller) {
    const Chain outer{{0, 0}, {100, 0}, {100, 100}, {0, 100}};
    const Chain hole{{20, 20}, {80, 20}, {80, 80}, {20, 80}};
    const Chain island{{40, 40}, {60, 40}, {60, 60}, {40, 60}};
    const Chain apart{{200, 0}, {300, 0}, {300, 100}};
    const std::vector<Chain> rings{island, hole, apart, outer};
    const auto polygons = GroupRings(rings);
    ASSERT_EQ(polygons.size(), 3u);
    std::vector<std::pair<size_t, size_t>> seen;  // (outline's ring, ring count)
    for (const auto& p : polygons)
        seen.emplace_back(static_cast<size_t>(p[0] - rings.data()), p.size());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::pair<size_t, size_t>>{{0, 1}, {2, 1}, {3, 2}}));
    // A lake that reaches the outline's lowest edge is still its hole.
    const std::vector<Chain> shore{outer, {{40, 50}, {60, 50}, {50, 0}}};
    EXPECT_EQ(GroupRings(shore).size(), 1u);
    // Two triangles that share a box: only the one below the diagonal holds the hole.
    const std::vector<Chain> halves{{{0, 1100}, {0, 1000}, {100, 1100}},
                                    {{100, 1000}, {100, 1100}, {0, 1000}},
                                    {{75, 1060}, {85, 1060}, {85, 1070}, {75, 1070}}};
    const auto split = GroupRings(halves);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[1], (std::vector<const Chain*>{&halves[1], &halves[2]}));
    // A ring far below the tolerance: gone, unless the caller keeps it (a district's outline).
    const Chain small{{0, 0}, {10, 1}, {20, 0}, {20, 20}, {0, 20}};
    EXPECT_TRUE(Simplify(small, true, 1000, false).empty());
    EXPECT_EQ(Simplify(small, true, 1000, true).size(), 3u);
    EXPECT_EQ(Simplify(small, true, 0.5, false).size(), 5u);
    EXPECT_EQ(Simplify(Chain{{0, 0}, {100, 1}, {50, 0}}, true, 1000, true).size(), 3u) << "a sliver is kept too";
    const Chain edged{{0, 0}, {50, 0}, {100, 0}, {100, 50}, {100, 100}, {50, 100}, {0, 100}, {0, 50}};
    EXPECT_EQ(Simplify(edged, true, 1, false).size(), 4u) << "no vertex on a straight edge, the last one either";
    // Overlapping borders: a ring inside one that crosses the gap of a U, outside the U itself,
    // has no outline around it and is kept as one of its own.
    const Chain u{{0, 0}, {100, 0}, {100, 100}, {70, 100}, {70, 30}, {30, 30}, {30, 100}, {0, 100}};
    const std::vector<Chain> overlapping{
        u, {{10, 50}, {90, 50}, {90, 90}, {10, 90}}, {{40, 60}, {60, 60}, {60, 80}, {40, 80}}};
    const auto groups = GroupRings(overlapping);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1], std::vector<const Chain*>{&overlapping[2]});
}

// A hand-made index. District 0: a square cut at the odd x = kCut into two pieces whose
// crossings of the cut were rounded apart, 2 units at the top and 200 at the bottom, as a
// damaged piece would leave them. District 1: a square with a lake and, apart from it, an
// island three tolerances wide. District 2 lies exactly kTouch above district 1, district 4 as
// far west of district 2; district 3 touches district 1's corner only.
class HandMadeIndex : public ::testing::Test {
protected:
    static constexpr int32_t kX = 1280000000, kY = 384000000, kSide = 320000, kCut = kX + 160001, kTol = 3200;
    void SetUp() override {
        auto square = [](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
            return Piece{{{{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}}};
        };
        std::vector<District> ds(5);
        ds[0].pieces = {square(kX, kY, kCut, kY + kSide), square(kCut, kY + 200, kX + kSide, kY + kSide + 2)};
        const int32_t x = kX + 2 * kSide, i = x + kSide + 10 * kTol, w = 3 * kTol,
                      up = kY + kSide + OutlineSource::kTouch;
        ds[1].pieces = {square(x, kY, x + kSide, kY + kSide), square(i, kY, i + w, kY + w)};
        const int32_t h = x + kSide / 2, v = kY + kSide / 2;  // a lake: wide, but no enclave
        ds[1].pieces[0].rings.push_back({{h, v}, {h, v + w}, {h + w, v + w}, {h + w, v}});
        ds[2].pieces = {square(x, up, x + kSide, up + kSide)};
        ds[3].pieces = {square(x - kSide, kY - kSide, x, kY)};
        ds[4].pieces = {square(x - kSide - OutlineSource::kTouch, up, x - OutlineSource::kTouch, up + kSide)};
        ASSERT_EQ(WriteIndex(m_path, Datum::kWgs84, ds), "");
        ASSERT_EQ(m_index.Load(m_path), "");
    }
    void TearDown() override { std::remove(m_path.c_str()); }
    const std::string m_path = testing::TempPath("handmade.idx");
    PlaceIndex m_index;
};

TEST_F(HandMadeIndex, JoinedLineEndsKeptIslandsAndTouchingNeighbours) {
    const Outline o = OutlineSource(m_index).Merge({0});
    EXPECT_TRUE(o.rings.empty());
    ASSERT_EQ(o.lines.size(), 1u);
    EXPECT_EQ(o.lines[0].size(), 7u) << "each corner once";
    EXPECT_TRUE(o.lines[0].front() == (Fixed{kCut, kY + 200}) && o.lines[0].back() == (Fixed{kCut, kY}));
    // The island is on average 1.5 tolerances wide (twice its area over its length): land, not a
    // sliver. The lake, as wide, is far smaller than an enclave another province could hold: no hole.
    EXPECT_EQ(ProvinceOutline(OutlineSource(m_index), {1}, kTol).rings.size(), 2u);
    // Neighbours come within the touch at two vertices, on every side.
    EXPECT_EQ(OutlineSource(m_index).Neighbours(1), std::vector<uint32_t>{2}) << "not 3 or 4, at one corner";
    EXPECT_EQ(OutlineSource(m_index).Neighbours(2), (std::vector<uint32_t>{1, 4})) << "below and west";
    EXPECT_EQ(OutlineSource(m_index).Neighbours(4), std::vector<uint32_t>{2}) << "east";
}

TEST_F(PageRoutes, PageFilesCarryTheirOwnPolicyAndNoInlineScript) {
    const HttpReply page = Get("/");
    ASSERT_EQ(page.status, 200);
    EXPECT_STREQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("<script src=\"/app.js\""), std::string::npos);
    EXPECT_EQ(page.body.find("<script>"), std::string::npos);
    EXPECT_NE(page.body.find("113.39'26.46\""), std::string::npos) << "the window's examples";
    EXPECT_EQ(Get("/app.js").contentType, std::string("text/javascript; charset=utf-8"));
    EXPECT_EQ(Get("/app.js").body.find("innerHTML"), std::string::npos) << "data goes in as text only";
    std::string head;
    PutReplyHead(head, page, true);
    EXPECT_NE(head.find("\r\nContent-Security-Policy: default-src 'self'; script-src 'self';"), std::string::npos);
    EXPECT_EQ(Get("/nothing").status, 404);
}

TEST_F(PageRoutes, LocateReadsTheWindowsThreeNotationsInEachSystem) {
    for (const char* pos : {"113.65735+34.79139167", "113.39'26.46%22,34.47'29.01%22", "113.39'441%20%2034.47'290",
                            "113.65735%EF%BC%8C34.79139167"}) {
        const json a = GetJson(std::string("/locate?pos=") + pos);
        EXPECT_EQ(a["district"], "金水区") << pos;
        EXPECT_EQ(a["code"], "410105");
        EXPECT_EQ(a["match"], "inside");
    }
    // The window truncates to whole map units: 34.79139167 is 12524901 of them.
    EXPECT_EQ(GetJson("/locate?pos=113.65735+34.79139167")["input"]["units"][1], 12524901);
    const json g = GetJson("/locate?pos=113.666+34.704&coordtype=gcj02");
    EXPECT_EQ(g["district"], "二七区");
    EXPECT_DOUBLE_EQ(g["positions"]["gcj02"][0], 113.666);
    EXPECT_NEAR(g["positions"]["wgs84"][0].get<double>(), 113.6599, 0.0002);
    EXPECT_EQ(GetJson("/locate?pos=113.666+34.704&coordtype=wgs84")["district"], "管城回族区");
    EXPECT_EQ(GetJson("/locate?pos=113.666+34.704&coordtype=bd09")["positions"]["bd09"][1], 34.704);
}

TEST_F(PageRoutes, LocateRefusesAsTheWindowDoesAndSaysWhy) {
    for (auto [pos, why] : {std::pair{"113.6x57+34.79", "'113.6x57' is not a number"},
                            {"113.65735", "1 given"},
                            {"113.39'441+34.79", "but latitude in"},
                            {"10+10", "outside the service's region"}}) {
        const json a = GetJson(std::string("/locate?pos=") + pos);
        EXPECT_EQ(a["refusal"], kOutOfRegionText) << pos;
        EXPECT_NE(a["reason"].get<std::string>().find(why), std::string::npos) << pos << ": " << a;
    }
    EXPECT_NE(GetJson("/locate?pos=1+2&coordtype=utm", 400)["error"]["message"].get<std::string>().find("coordtype"),
              std::string::npos);
    EXPECT_EQ(GetJson("/locate", 400)["error"]["code"], 400);
}

TEST_F(PageRoutes, NearAnswersPointAtTheDistrictsBorderAtTheirDistance) {
    const json a = GetJson("/locate?pos=121.745+31.295");
    ASSERT_EQ(a["match"], "near");
    EXPECT_EQ(a["district"], "浦东新区");
    const double d = Metres(121.745, 31.295, a["nearest"][0], a["nearest"][1]);
    EXPECT_NEAR(d, a["distance_m"].get<double>(), 0.03 * d);
}

TEST_F(PageRoutes, DistrictOutlineIsTheDistrictAndItsNeighboursTouchIt) {
    const json c = GetJson("/outline?code=410105&tolerance=0.0001");
    ASSERT_EQ(c["features"].size(), 1u);
    const json& f = c["features"][0];
    EXPECT_EQ(f["properties"]["name"], "金水区");
    EXPECT_EQ(f["geometry"]["type"], "MultiPolygon");
    size_t vertices = 0;
    for (const json& polygon : f["geometry"]["coordinates"])
        for (const json& ring : polygon) {
            EXPECT_EQ(ring.front(), ring.back()) << "rings are closed";
            vertices += ring.size() - 1;
        }
    EXPECT_EQ(f["properties"]["vertices"], vertices);
    // In WGS-84, as the lookups answer: points just inside and outside its border agree.
    for (const char* pos : {"113.65735 34.79139167", "113.70 34.80", "113.62 34.76", "113.75 34.76"}) {
        const json a = GetJson(std::string("/locate?pos=") + pos);
        double lon, lat;
        std::sscanf(pos, "%lf %lf", &lon, &lat);
        EXPECT_EQ(Covers(f["geometry"], lon, lat), a["code"] == "410105") << pos << " is in " << a["district"];
    }
    const json n = GetJson("/outline?code=410105&neighbours=1");
    std::set<std::string> codes;
    for (const json& g : n["features"])
        codes.insert(g["properties"]["code"].get<std::string>());
    for (const char* touching : {"410102", "410103", "410104", "410108"})
        EXPECT_TRUE(codes.count(touching)) << touching;
    EXPECT_FALSE(codes.count("410106")) << "上街区 lies 30 km west";
    EXPECT_EQ(codes.size(), n["features"].size());
    EXPECT_EQ(n["features"][0]["properties"]["role"], "district");
}

TEST_F(PageRoutes, ToleranceIsClampedOntoTheLadderAndCoarserMeansFewer) {
    EXPECT_EQ(GetJson("/outline?code=410105&tolerance=0.00000001")["tolerance"], 0.0001);
    EXPECT_EQ(GetJson("/outline?code=410105&tolerance=30")["tolerance"], 0.1);
    EXPECT_EQ(GetJson("/outline?code=410105&tolerance=0.003")["tolerance"], 0.002);
    EXPECT_EQ(GetJson("/outline?code=410105")["tolerance"], 0.001);
    EXPECT_EQ(GetJson("/provinces?tolerance=0.00001")["tolerance"], 0.01);
    int last = 1 << 30;
    for (const char* t : {"0.0001", "0.001", "0.01", "0.1"}) {
        const int v =
            GetJson(std::string("/outline?code=410105&tolerance=") + t)["features"][0]["properties"]["vertices"];
        EXPECT_LT(v, last) << t;
        EXPECT_GE(v, 3) << "a district keeps its outline at any step";
        last = v;
    }
}

TEST_F(PageRoutes, OutlineRefusalsNameTheParameter) {
    for (const char* target :
         {"/outline", "/outline?code=41010", "/outline?code=abcdef", "/outline?code=4101050", "/outline?code=999999",
          "/outline?code=410105&tolerance=-1", "/outline?code=410105&tolerance=0",
          "/outline?code=410105&tolerance=1e-3", "/outline?code=410105&tolerance=", "/outline?code=410105&neighbours=2",
          "/provinces?tolerance=abc"}) {
        const HttpReply r = Get(target);
        EXPECT_EQ(r.status, 400) << target;
        const std::string message = json::parse(r.body)["error"]["message"];
        const bool named =
            message.find("'code'") != std::string::npos || message.find("code 999999") != std::string::npos ||
            message.find("'tolerance'") != std::string::npos || message.find("'neighbours'") != std::string::npos;
        EXPECT_TRUE(named) << target << ": " << message;
    }
}

TEST_F(PageRoutes, EachAnswerIsMadeOnceAndKept) {
    const OutlineRoutes& cache = s_answerer.Page().Outlines();
    const size_t before = cache.CachedBytes();
    const size_t a = Get("/outline?code=410105&tolerance=0.0002").body.size();
    EXPECT_EQ(cache.CachedBytes(), before + a);
    const size_t b = Get("/outline?code=410104&tolerance=0.0002").body.size();
    EXPECT_EQ(cache.CachedBytes(), before + a + b) << "both kept";
    Get("/outline?code=410105&tolerance=0.00025");  // the same step
    EXPECT_EQ(cache.CachedBytes(), before + a + b);
    // Some 260 districts with their neighbours, from the index's first on, overflow the cache:
    // the oldest answers make room, and one made again is the same.
    const std::string first = Get("/outline?code=410105&tolerance=0.0002").body;
    for (size_t d = 0, passed = 0; passed <= OutlineRoutes::kCacheBytes; ++d) {
        if (!s_index.Code(d))
            continue;  // no code to ask by
        const HttpReply r = Get("/outline?code=" + std::to_string(s_index.Code(d)) + "&tolerance=0.0001&neighbours=1");
        EXPECT_EQ(r.status, 200) << "district " << d;
        passed += r.body.size();
    }
    EXPECT_LE(cache.CachedBytes(), OutlineRoutes::kCacheBytes);
    EXPECT_EQ(Get("/outline?code=410105&tolerance=0.0002").body, first);
}

TEST_F(PageRoutes, ProvincesAreBoundedAndHoldTheirDistricts) {
    const HttpReply r = Get("/provinces");
    ASSERT_EQ(r.status, 200);
    EXPECT_LT(r.body.size(), 2u << 20);
    const json p = json::parse(r.body);
    ASSERT_EQ(p["features"].size(), 34u);
    size_t vertices = 0;
    const json* henan = nullptr;
    for (const json& f : p["features"]) {
        vertices += f["properties"]["vertices"].get<size_t>();
        if (f["properties"]["name"] == "河南省")
            henan = &f;
    }
    EXPECT_LE(vertices, OutlineRoutes::kMaxVertices);
    ASSERT_TRUE(henan);
    EXPECT_EQ((*henan)["properties"]["code"], "410000");
    EXPECT_TRUE(Covers((*henan)["geometry"], 113.65735, 34.79139167));
    EXPECT_FALSE(Covers((*henan)["geometry"], 116.40, 39.90)) << "北京";
    EXPECT_EQ(Get("/provinces").body, r.body) << "the cached answer is the same";
}

}  // namespace
}  // namespace lookupd
