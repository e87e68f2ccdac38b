// The protocol as the program speaks it, against one service process on the real index: the
// districts it names, its replies' form, and the requests it refuses. Run against the Windows
// build too (LOOKUPD_BIN), so nothing here may be Linux's own.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "service/tests/live_service.h"

using namespace lookupd::testing;

namespace {

class LiveService : public SharedService {
protected:
    static std::string Ask(const std::string& target) {
        Reply r = Exchange(s_service->Port(), ProgramRequest(target));
        return r.ok ? std::to_string(Status(r)) + " " + Utf8(r.body) : "<no reply>";
    }
};

struct Place {
    const char* what;
    double lon, lat;     // WGS84
    const char* expect;  // the answer starts with this
};

// Landmarks at their WGS84 positions (each kind of province-level division, both files in the
// compact encoding, the border towns) as their Wikipedia articles give them (rounded to about
// 10 m); districts as the PRC's administrative division lists, the Hong Kong and Macau
// governments and Taiwan's Ministry of the Interior name them.
const Place kKnown[] = {
    {"program example, Zhengzhou", 113.65735, 34.79139167, "河南省郑州市金水区"},
    {"Tiananmen, Beijing", 116.3975, 39.9087, "北京市东城区"},
    {"People's Square, Shanghai", 121.4737, 31.2304, "上海市黄浦区"},
    {"Oriental Pearl Tower, Shanghai", 121.4998, 31.2397, "上海市浦东新区"},
    {"Jiefangbei, Chongqing", 106.5770, 29.5575, "重庆市渝中区"},
    {"Wulong karst, Chongqing (a county until 2016)", 107.76, 29.33, "重庆市武隆区"},
    {"Liangping, Chongqing (a county until 2016)", 107.800, 30.674, "重庆市梁平区"},
    {"Tanggu, Tianjin", 117.65, 39.02, "天津市滨海新区"},
    {"Jizhou, Tianjin (outline shipped apart from the city's file)", 117.408, 40.045, "天津市蓟州区"},
    {"Canton Tower, Guangzhou", 113.3245, 23.1065, "广东省广州市海珠区"},
    {"Civic Center, Shenzhen", 114.0579, 22.5431, "广东省深圳市福田区"},
    {"Central, Hong Kong", 114.1582, 22.2819, "香港特别行政区中西区"},
    {"Taipa, Macau", 113.5590, 22.1535, "澳门特别行政区"},
    {"Taipei 101 (the data writes 臺北市信義區)", 121.5645, 25.0340, "台湾省台北市信义区"},
    {"Potala Palace, Lhasa", 91.1169, 29.6578, "西藏自治区拉萨市城关区"},
    {"Urumqi", 87.6168, 43.8256, "新疆维吾尔自治区乌鲁木齐市"},
    {"Hohhot", 111.7492, 40.8426, "内蒙古自治区呼和浩特市"},
    {"Nanning", 108.3665, 22.8170, "广西壮族自治区南宁市"},
    {"Yinchuan", 106.2309, 38.4872, "宁夏回族自治区银川市"},
    {"Laiwu, once a prefecture of its own", 117.6766, 36.2134, "山东省济南市莱芜区"},
    {"Gangcheng, once Laiwu's", 117.811, 36.058, "山东省济南市钢城区"},
    {"Changdao, a county merged into Penglai", 120.738, 37.916, "山东省烟台市蓬莱区"},
    {"Shou county, moved from Lu'an to Huainan before the data was drawn", 116.787, 32.573, "安徽省淮南市寿县"},
    {"Yungang Grottoes, Datong (矿区 and most of 南郊区 until 2018)", 113.1227, 40.1103, "山西省大同市云冈区"},
    {"Manzhouli, Russian border", 117.3789, 49.5978, "内蒙古自治区呼伦贝尔市满洲里市"},
    {"Erenhot, Mongolian border", 111.9772, 43.6531, "内蒙古自治区锡林郭勒盟二连浩特市"},
    {"Kashgar", 75.9898, 39.4704, "新疆维吾尔自治区喀什地区喀什市"},
    {"Ruili, Myanmar border", 97.8519, 24.0127, "云南省德宏傣族景颇族自治州瑞丽市"},
    {"Sanya, south coast", 109.5119, 18.2528, "海南省三亚市"},
    {"Gulangyu, Xiamen", 118.0664, 24.4475, "福建省厦门市思明区"},
    {"Zhoushan islands", 122.1068, 30.0160, "浙江省舟山市"},
    // Renamed after the data was drawn: the stale names (宁乡县, 临安市, ...) must not come back.
    {"Ningxiang, a city since 2017", 112.553, 28.277, "湖南省长沙市宁乡市"},
    {"Lin'an, a district since 2017", 119.724, 30.234, "浙江省杭州市临安区"},
    {"Luanzhou, once 滦县", 118.703, 39.741, "河北省唐山市滦州市"},
    {"Jiyang, a district since 2018", 117.173, 36.978, "山东省济南市济阳区"},
    {"Zouping, a city since 2018", 117.743, 36.863, "山东省滨州市邹平市"},
    {"Fengxiang, a district since 2021", 107.400, 34.521, "陕西省宝鸡市凤翔区"},
    {"Sha county, a district since 2021", 117.792, 26.397, "福建省三明市沙县区"},
    {"Yanshi, a district since 2021", 112.789, 34.727, "河南省洛阳市偃师区"},
    {"Gongzhuling, moved from Siping to Changchun", 124.822, 43.505, "吉林省长春市公主岭市"},
    // 200 to 450 m inland in WGS84, as GPS gives them: in the sea or across a border unless both the
    // GCJ-02 offset of most of the data and its absence from Taiwan's files are handled.
    {"Lantau south coast, Hong Kong", 113.988, 22.196, "香港特别行政区离岛区"},
    {"Lamma/Po Toi area coast, Hong Kong", 114.262, 22.176, "香港特别行政区离岛区"},
    {"Coloane, Macau (next to Zhuhai's Hengqin)", 113.553, 22.114, "澳门特别行政区圣方济各堂区"},
    {"Su'ao coast, Yilan, Taiwan", 121.844, 24.496, "台湾省宜兰县苏澳镇"},
    {"Toucheng coast, Yilan, Taiwan", 121.948, 24.846, "台湾省宜兰县头城镇"},
};

TEST_F(LiveService, KnownPlacesAreNamedWithTheirDistrict) {
    for (const Place& p : kKnown) {
        std::string got = Ask(Degrees(p.lon, p.lat));
        EXPECT_EQ(got.rfind(std::string("200 ") + p.expect, 0), 0u) << p.what << ": " << got;
        EXPECT_EQ(got.find("附近"), std::string::npos) << p.what << " should be inside: " << got;
    }
}

TEST_F(LiveService, PointsOutsideEveryDistrict) {
    const std::string unknown = "200 未知地点:该位置附近没有已知的区县";
    EXPECT_EQ(Ask(Degrees(125.0, 25.0)), unknown);        // East China Sea
    EXPECT_EQ(Ask(Degrees(106.9057, 47.8864)), unknown);  // Ulaanbaatar, inside the program's rectangle
    EXPECT_EQ(Ask(Degrees(105.8342, 21.0278)), unknown);  // Hanoi
    EXPECT_EQ(Ask(Target(2147483647LL, 2147483647LL)), unknown);
    EXPECT_EQ(Ask(Target(-2147483648LL, -2147483648LL, 2147483647LL)), unknown);

    // Off Qingdao's south shore (Fushan Bay), 0.7 and 1.3 km from the coast: near it within
    // the program's radius of about 1.85 km, unknown with none.
    EXPECT_EQ(Ask(Degrees(120.4, 36.045)), "200 山东省青岛市市南区附近(距其边界约720米)");
    EXPECT_EQ(Ask(Degrees(120.4, 36.04)), "200 山东省青岛市市南区附近(距其边界约1.3公里)");
    EXPECT_EQ(Ask(Degrees(120.4, 36.045, 0)), unknown);
    // 23 km off Zhuhai: nothing within the program's radius; the largest radius is taken as
    // the service's cap (about 55 km) and finds the coast.
    EXPECT_EQ(Ask(Degrees(113.5, 21.8)), unknown);
    std::string near = Ask(Degrees(113.5, 21.8, 2147483647LL));
    EXPECT_EQ(near.rfind("200 广东省珠海市金湾区附近(距其边界约22.", 0), 0u) << near;
}

TEST_F(LiveService, RepliesFitTheProgramsReader) {
    Reply r = Exchange(s_service->Port(), ProgramRequest(Target(40916646, 12524901)));
    ASSERT_TRUE(r.ok) << r.header;
    EXPECT_EQ(r.header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    // The program takes the first "Content-Length" in the header and skips ": ".
    size_t at = r.header.find("Content-Length");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.header.substr(at, r.header.find("\r\n", at) - at), "Content-Length: " + std::to_string(r.body.size()));
    EXPECT_EQ(r.body, "\xBA\xD3\xC4\xCF\xCA\xA1\xD6\xA3\xD6\xDD\xCA\xD0\xBD\xF0\xCB\xAE\xC7\xF8");
}

TEST_F(LiveService, WrongPathsAndParameters) {
    for (const char* path : {"/nothing", "/GetTextByPos/x"})
        EXPECT_EQ(Ask(path),
                  "404 404 Not Found: served are GET /GetTextByPos, /reverse, /healthz and the map page at /");
    EXPECT_EQ(Ask("/healthz"), "200 ready");
    // Escapes are decoded before the checks: x is a number, radius is minus one.
    EXPECT_EQ(Ask("/GetTextByPos?x=%34%30916646&y=12524901&radius=%2D1&service=gettext"),
              "400 400 Bad Request: parameter radius is negative");
    // A key given again: its first value counts, whatever follows.
    EXPECT_EQ(Ask(Target(40916646, 12524901) + "&x=oops&radius=-1&service=none"), "200 河南省郑州市金水区");
    EXPECT_EQ(Ask("/GetTextByPos?x=oops&" + Target(40916646, 12524901).substr(14)),
              "400 400 Bad Request: parameter x is not a 32-bit decimal integer");
}

TEST_F(LiveService, OverlongRequestLineIsRefused) {
    std::string target = Target(40916646, 12524901) + "&pad=" + std::string(9000, 'a');
    Reply r = Exchange(s_service->Port(), ProgramRequest(target));
    EXPECT_EQ(Status(r), 414) << r.header;
    // And the service is still there for the next one.
    EXPECT_EQ(Ask(Target(40916646, 12524901)), "200 河南省郑州市金水区");
}

// A client may close its sending half once its request is out: it still gets the answer, and
// the end right after it rather than at the read time-out (5 s). A request left unfinished
// gets the end alone.
TEST_F(LiveService, HalfClosedClientsGetTheirAnswerAndTheEnd) {
    for (bool whole : {true, false}) {
        int s = Connect(s_service->Port(), 2000);
        // Corked, the bytes and the end go in one segment: the service learns of both at once.
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_CORK, &one, sizeof one);
        const std::string req = ProgramRequest(ExampleTarget());
        ASSERT_TRUE(SendAll(s, whole ? req : req.substr(0, 30)));
        shutdown(s, SHUT_WR);
        if (whole) {
            EXPECT_EQ(Utf8(ReadReply(s).body), "河南省郑州市金水区");
        }
        char c;
        EXPECT_EQ(recv(s, &c, 1, 0), 0) << (whole ? "after the answer" : "after half a request");
        close(s);
    }
}

// A request's body may take 4 KiB: one byte more is refused with 413 as soon as its length is
// announced, and the connection is closed after it.
TEST_F(LiveService, BodiesBeyondTheirBudgetAreRefused) {
    for (size_t n : {size_t{4096}, size_t{4097}}) {
        int s = Connect(s_service->Port());
        std::string head =
            "POST /GetTextByPos HTTP/1.1\r\nHost:127.0.0.1\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
        ASSERT_TRUE(SendAll(s, n == 4096 ? head + std::string(n, 'b') : head));
        Reply r = ReadReply(s);
        if (n == 4096) {  // read whole, and answered as any POST is
            EXPECT_EQ(Status(r), 404) << r.header;
            EXPECT_EQ(r.header.find("Connection: close"), std::string::npos) << r.header;
        } else {
            EXPECT_EQ(Status(r), 413) << r.header;
            EXPECT_EQ(r.body, "413 Payload Too Large");
            EXPECT_NE(r.header.find("\r\nConnection: close\r\n"), std::string::npos) << r.header;
            char c;
            EXPECT_EQ(recv(s, &c, 1, 0), 0);
        }
        close(s);
    }
}

// A kept-alive connection has 1000 answers: the last says the connection closes, and it does.
TEST_F(LiveService, KeptAliveConnectionsEndAtTheirCap) {
    int s = Connect(s_service->Port());
    // Rounds of 50 requests in one write: their answers fit the socket's buffers.
    std::string round;
    for (int i = 0; i < 50; ++i)
        round += "GET /healthz HTTP/1.1\r\nHost:127.0.0.1\r\n\r\n";
    int answered = 0;
    bool closing = false;  // the last answer said so
    while (!closing && answered < 1100 && (answered % 50 || SendAll(s, round))) {
        const Reply r = ReadReply(s);
        if (!r.ok)
            break;
        ++answered;
        closing = r.header.find("\r\nConnection: close\r\n") != std::string::npos;
    }
    EXPECT_TRUE(closing);
    EXPECT_EQ(answered, 1000);
    char c;
    EXPECT_EQ(recv(s, &c, 1, 0), 0);
    close(s);
}

// Requests sent together are answered in order. Eight answers of a megabyte (若羌县 and its ten
// neighbours), read late, are more than the server's socket takes at a time: they leave in many
// partial sends, and every byte still arrives. The last request asks to close, and the end
// follows its answer.
TEST_F(LiveService, PipelinedAnswersComeInOrderAndWhole) {
    int s = Connect(s_service->Port(), 10000);
    ASSERT_GE(s, 0);
    std::string requests = ProgramRequest(ExampleTarget());
    for (int i = 0; i < 8; ++i)
        requests += ProgramRequest("/outline?code=652824&tolerance=0.0001&neighbours=1");
    ASSERT_TRUE(SendAll(s, requests + "GET /nowhere HTTP/1.1\r\nHost:127.0.0.1\r\nConnection: close\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Utf8(ReadReply(s).body), "河南省郑州市金水区");
    const Reply first = ReadReply(s);
    const nlohmann::json outlines = nlohmann::json::parse(first.body, nullptr, false);
    ASSERT_TRUE(first.ok && !outlines.is_discarded());
    EXPECT_EQ(outlines["features"].size(), 11u);
    for (int i = 1; i < 8; ++i)
        EXPECT_TRUE(ReadReply(s).body == first.body) << "answer " << i;
    EXPECT_EQ(Status(ReadReply(s)), 404);
    char c;
    EXPECT_EQ(recv(s, &c, 1, 0), 0);
    close(s);
}

}  // namespace
