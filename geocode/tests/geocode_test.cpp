// lumeno-geocode as users run it: the sample files through the program, in process and through
// a service started for the purpose, plus the name and distance rules both paths share.
#include <cstring>
#include <sstream>

#include "index/index_format.h"
#include "places.h"
#include "positions.h"
#include "run_helpers.h"

namespace {

using namespace geocode;
using namespace geocode_test;

TEST(Names, SplitIntoTheOfficialLevels) {
    struct {
        const char *full, *province, *prefecture, *district;
    } cases[] = {
        {"河南省郑州市金水区", "河南省", "郑州市", "金水区"},
        {"北京市东城区", "北京市", "", "东城区"},
        {"重庆市石柱土家族自治县", "重庆市", "", "石柱土家族自治县"},
        {"香港特别行政区油尖旺区", "香港特别行政区", "", "油尖旺区"},
        {"湖北省仙桃市", "湖北省", "", "仙桃市"},  // governed by the province directly
        {"新疆维吾尔自治区石河子市", "新疆维吾尔自治区", "", "石河子市"},
        {"广东省东莞市", "广东省", "东莞市", ""},  // a prefecture without districts
        {"吉林省延边朝鲜族自治州延吉市", "吉林省", "延边朝鲜族自治州", "延吉市"},
        {"内蒙古自治区锡林郭勒盟锡林浩特市", "内蒙古自治区", "锡林郭勒盟", "锡林浩特市"},
        {"黑龙江省大兴安岭地区漠河市", "黑龙江省", "大兴安岭地区", "漠河市"},
        {"山东省济南市市中区", "山东省", "济南市", "市中区"},
        {"台湾省台东县台东市", "台湾省", "台东县", "台东市"},
        {"青海省海南藏族自治州共和县", "青海省", "海南藏族自治州", "共和县"},
    };
    for (auto& c : cases) {
        Levels l = SplitFullName(c.full);
        EXPECT_EQ(l.province + "|" + l.prefecture + "|" + l.district,
                  std::string(c.province) + "|" + c.prefecture + "|" + c.district);
    }
}

TEST(Positions, RefusedTextsAndExactDecimals) {
    struct {
        const char *lon, *lat, *why;
    } refused[] = {
        {"113.6x57", "34.79", "longitude '113.6x57' is not a number in any of the three notations"},
        {"113.39'26.46\"", "34.79", "longitude in degrees-minutes-seconds but latitude in decimal degrees"},
        {"113.39'441", "34.47'29.01\"",
         "longitude in degrees and decimal minutes but latitude in degrees-minutes-seconds"},
        {"113.60'00", "34.47'29", "longitude '113.60'00': minutes must be below 60"},
        {"113.39'26.46\"", "34.47'60.5\"", "latitude '34.47'60.5\"': seconds must be below 60"},
        {"-113.39'441", "34.47'29", "longitude '-113.39'441' is not a number in any of the three notations"},
        {"", "34.5", "longitude empty"},
        {"113.5", ".", "latitude '.' is not a number"},
    };
    for (auto& c : refused) {
        MapPoint p{};
        EXPECT_EQ(ParseTypedPair(c.lon, c.lat, p), c.why);
    }
    // Decimals from track logs, cut to units without a binary rounding on the way.
    int32_t u = 0;
    ASSERT_TRUE(ExactDegrees("34.791391666666", u));
    EXPECT_EQ(u, 12524900);  // 34.791391666666 * 360000 = 12524900.99999976
    ASSERT_TRUE(ExactDegrees("-0.0000027777778", u));
    EXPECT_EQ(u, -1);
    EXPECT_FALSE(ExactDegrees("34.7e1", u));
    EXPECT_EQ(NmeaAngle("3447.48350", "N", 2, u), "");
    EXPECT_EQ(u, 34 * 360000 + 284901);  // 47.4835 minutes = 284901 units
    EXPECT_EQ(NmeaAngle("11360.0", "E", 3, u), "longitude '11360.0': minutes must be below 60");
    EXPECT_EQ(NmeaAngle("3447.4835", "E", 2, u), "latitude hemisphere 'E' is not N or S");
}

// Every sample gives the same rows in process and through the service, one per point, with
// each refused row reported by its line.
TEST_F(Samples, SameRowsInProcessAndThroughTheService) {
    struct {
        const char* file;
        size_t rows;  // every sample has a refused row: status 1
        std::vector<std::string> expect;
    } cases[] = {
        {"survey.csv",
         12,
         {"P2,\"113.39'26.46\"\"\",\"34.47'29.01\"\"\",dms,河南省,郑州市,金水区,410105,,\n",
          "P3,113.39'441,34.47'290,degrees and decimal minutes,河南省,郑州市,金水区,410105,,\n",
          "P4,113.6x57,34.79,malformed number,,,,,,longitude '113.6x57' is not a number",
          "P6,10.5,34.79,outside the region,,,,,,outside the service region\n",
          "P9,116.39747,39.90872,after a blank line,北京市,,东城区,110101,,\n",
          "P11,121.745,31.295,\"offshore, 1.1 km from Pudong\",上海市,,浦东新区,310115,1100,\n",
          "P12,120.0,25.0,Taiwan Strait,,,,,,\n", "survey.csv:5: longitude '113.6x57'",
          "survey.csv:6: longitude in degrees-minutes-seconds but latitude in decimal degrees",
          "4 of 12 rows refused"}},
        {"phone.nmea",
         6,
         {"GNRMC,040523,011240.00,3447.48350N,11339.44100E,河南省,郑州市,金水区,410105,,\n",
          "BDGLL,,011245.00,3149.12000N,11716.50000E,安徽省,合肥市,包河区,340111,,\n",
          "phone.nmea:5: GNGGA without a fix, skipped", "phone.nmea:6: GNRMC without a fix, skipped",
          "phone.nmea:8: bad checksum: the sentence says 23, its text sums to 2E", "1 of 6 rows refused"}},
        {"logger.gpx",
         6,
         {"wpt,113.657350,34.791391,98.4,2023-05-04T01:12:40Z,Office & lab,河南省,郑州市,金水区,410105,,\n",
          "trkpt,114.3075400,34.7977500,76.0,2023-05-04T02:31:10Z,,河南省,开封市,龙亭区,410202,,\n",
          "rtept,121.4737,31.2304,,,上海,上海市,,黄浦区,310101,,\n", "logger.gpx:18: outside the service region"}},
        {"truncated.gpx", 3, {"truncated GPX: <trkpt> from line 17 is not closed at the end of the input"}},
        // One stray quote costs its own row only.
        {"open-quote.csv",
         4,
         {"2,\"113.6,34.7,,,,,,a quoted cell is not closed\n", "3,116.39747,39.90872,北京市,,东城区,110101,,\n",
          "4,\"114.1694\",\"22.3193\",香港特别行政区,,油尖旺区,,,\n"}},
        {"points.txt", 4, {"113.39'441,34.47'290,河南省,郑州市,金水区,410105,,\n", "points.txt:5: expected LON LAT"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.file);
        Result local = Geocode("--threads 2 " + Sample(c.file));
        Result remote = Geocode("--threads 2 --service " + s_service->Address() + " " + Sample(c.file));
        EXPECT_EQ(local.status, 1) << local.err;
        EXPECT_EQ(remote.status, 1) << remote.err;
        EXPECT_EQ(local.out, remote.out);
        EXPECT_EQ(local.err, remote.err);
        EXPECT_EQ(Lines(local.out), c.rows + 1);
        for (const std::string& e : c.expect)
            EXPECT_NE((local.out + local.err).find(e), std::string::npos) << e << "\n" << local.out << local.err;
    }
}

TEST_F(Samples, OrderAndEncodingsHoldOnManyThreads) {
    std::string path = ::testing::TempDir() + "geocode_many_" + std::to_string(getpid()) + ".txt";
    {
        std::ofstream out(path);
        for (long long i = 0; i < 30000; ++i)
            out << 100 + (i * 7919 % 3000) / 100.0 << ' ' << 22 + (i * 104729 % 2000) / 100.0 << '\n';
    }
    Result one = Geocode("--threads 1 --from plain " + path);
    Result many = Geocode("--threads 8 --from plain " + path);
    Result remote = Geocode("--threads 3 --service " + s_service->Address() + " --from plain " + path);
    EXPECT_EQ(Lines(one.out), 30001u);
    EXPECT_EQ(one.out, many.out);
    EXPECT_EQ(one.out, remote.out);

    // A GBK table (经度/纬度 in GBK) gives the UTF-8 table's rows in GBK.
    std::string gbkTable, back;
    ASSERT_TRUE(Utf8ToGbk(Slurp(Sample("survey.csv")), gbkTable));
    std::ofstream(path, std::ios::binary) << gbkTable;
    ASSERT_TRUE(GbkToUtf8(Geocode("--encoding gbk --from csv " + path).out, back));
    Result utf8 = Geocode(Sample("survey.csv"));
    EXPECT_EQ(back, utf8.out);
    EXPECT_EQ(Geocode("--bom " + Sample("survey.csv")).out, "\xEF\xBB\xBF" + utf8.out);
    Result json = Geocode("--jsonl " + Sample("phone.nmea"));
    EXPECT_EQ(Lines(json.out), 6u);
    EXPECT_NE(
        json.out.find("{\"line\":1,\"input\":{\"sentence\":\"GNRMC\",\"date\":\"040523\",\"time\":\"011240.00\","
                      "\"lat\":\"3447.48350N\",\"lon\":\"11339.44100E\"},\"province\":\"河南省\",\"prefecture\":"
                      "\"郑州市\",\"district\":\"金水区\",\"code\":\"410105\",\"distance_m\":null,\"error\":null}\n"),
        std::string::npos)
        << json.out;
    std::remove(path.c_str());
}

// --strict stops at the first refused row; usage and I/O faults are status 2 with a reason.
TEST(Failures, StrictStopAndStatusTwo) {
    Result strict = Geocode("--strict " + Sample("survey.csv"));
    EXPECT_EQ(strict.status, 1);
    EXPECT_EQ(Lines(strict.out), 5u);  // header, P1-P3, P4 with its error
    EXPECT_NE(strict.err.find("1 of 4 rows refused (stopped at the first: --strict)"), std::string::npos);

    struct {
        std::string args, why;
    } cases[] = {
        {"--data /nonexistent.idx " + Sample("survey.csv"), "index file /nonexistent.idx"},
        {Sample("survey.csv") + " -o /nonexistent/dir/out.csv", "cannot write /nonexistent/dir/out.csv"},
        {"/nonexistent.csv", "cannot open /nonexistent.csv"},
        {"- < /dev/null", "standard input: give the format with --from"},
        {"--lon 经度X " + Sample("survey.csv"), "no column named '经度X' (--lon)"},
        // Nothing listens on port 9 of the loopback: refused at once, three tries, then status 2.
        {"--service 127.0.0.1:9 --timeout-ms 500 " + Sample("survey.csv"), "is not ready: cannot connect"},
        {"--threads 0 x.csv", "--threads takes a number from 1 to 256"},
        {"--crs gcj x.csv", "--crs takes one of wgs84, gcj02 (also amap, tencent), bd09 (also baidu)"},
        {"--geojson --encoding gbk x.csv", "--encoding gbk is for CSV output"},
        {"--geojson --jsonl x.csv", "exclude each other"},
    };
    for (auto& c : cases) {
        Result r = Geocode(c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_NE(r.err.find(c.why), std::string::npos) << c.args << ": " << r.err;
    }
}

// A damaged piece of the index is no answer: the run stops at the first point that needs one,
// with status 2 and where, instead of naming a place from it.
TEST(Failures, DamagedIndexStopsTheRun) {
    std::string bytes = Slurp(LOOKUPD_INDEX);
    lookupd::Header h;
    ASSERT_GT(bytes.size(), sizeof h);
    std::memcpy(&h, bytes.data(), sizeof h);
    const lookupd::Layout l = lookupd::LayoutOf(h);
    for (uint64_t at = l.stream; at < l.sum; at += 4)  // every piece, however short
        bytes[at] ^= 0x10;
    const std::string path = ::testing::TempDir() + "geocode_damaged_" + std::to_string(getpid()) + ".idx";
    std::ofstream(path, std::ios::binary) << bytes;
    Result r = Geocode("--data " + path + " " + Sample("survey.csv"));
    std::remove(path.c_str());
    // The first point that needs a piece stops the run (one in a cell the index's grid answers
    // needs none), and nothing is written for it or after it.
    EXPECT_EQ(r.status, 2);
    const std::string file = "survey.csv:", what = ": the index is damaged where this point lies";
    const size_t at = r.err.find(what);
    ASSERT_NE(at, std::string::npos) << r.err;
    const size_t line = std::stoul(r.err.substr(r.err.rfind(file, at) + file.size()));
    // The header and a row for each line before it but the blank ones.
    std::istringstream in(Slurp(Sample("survey.csv")));
    size_t rows = 0;
    std::string text;
    for (size_t n = 1; n < line && std::getline(in, text); ++n)
        rows += !text.empty();
    EXPECT_EQ(Lines(r.out), rows) << r.out;
}

}  // namespace
