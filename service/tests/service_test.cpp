// The real service, started as its own process on the real index, asked over loopback
// exactly as the program asks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "service/answer.h"
#include "index/gbk.h"
#include "index/place_index.h"
#include "service/server.h"

using namespace std::chrono;

namespace {

int Connect(int port, int timeoutMs = 5000) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

struct Reply {
    std::string header;  // up to and including the empty line
    std::string body;
    bool ok = false;  // a whole header and as many body bytes as it announced
};

// Reads the way the program does: the header up to CR LF CR LF (at most 1024 bytes),
// "Content-Length" found anywhere in it with its value two characters after the name.
Reply ReadReply(int s) {
    Reply r;
    char c;
    while (r.header.size() < 1024 && recv(s, &c, 1, 0) == 1) {
        r.header += c;
        if (r.header.size() >= 4 && r.header.compare(r.header.size() - 4, 4, "\r\n\r\n") == 0)
            break;
    }
    size_t at = r.header.find("Content-Length");
    if (r.header.size() < 4 || r.header.compare(r.header.size() - 4, 4, "\r\n\r\n") != 0 || at == std::string::npos)
        return r;
    long n = std::atol(r.header.c_str() + at + 14 + 2);
    char buf[1024];
    while (static_cast<long>(r.body.size()) < n) {
        // No further than the body: a pipelined reply may follow.
        ssize_t got = recv(s, buf, std::min(sizeof buf, static_cast<size_t>(n) - r.body.size()), 0);
        if (got <= 0)
            return r;
        r.body.append(buf, static_cast<size_t>(got));
    }
    r.ok = static_cast<long>(r.body.size()) == n;
    return r;
}

std::string ProgramRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost:127.0.0.1\r\nAccept:*/*\r\n"
           "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nConnection:Keep-Alive\r\n\r\n";
}

std::string Target(long long x, long long y, long long radius = 6000) {
    return "/GetTextByPos?x=" + std::to_string(x) + "&y=" + std::to_string(y) + "&radius=" + std::to_string(radius) +
           "&service=gettext";
}

Reply Exchange(int port, const std::string& request) {
    int s = Connect(port);
    if (s < 0)
        return Reply{};
    Reply r = SendAll(s, request) ? ReadReply(s) : Reply{};
    close(s);
    return r;
}

int Status(const Reply& r) {
    return r.header.size() > 12 ? std::atoi(r.header.c_str() + 9) : -1;
}

std::string Utf8(const std::string& gbk) {
    std::string utf8;
    return lookupd::GbkToUtf8(gbk, utf8) ? utf8 : "<not GBK>";
}

std::string Degrees(double lon, double lat, long long radius = 6000) {
    return Target(static_cast<long long>(lon * 360000.0), static_cast<long long>(lat * 360000.0), radius);
}

// One service process: started with the given options on a port the system picks (the log
// says which), stopped by a signal.
class Service {
public:
    // maxFiles: where not 0, the most descriptors the process may have open.
    explicit Service(std::vector<std::string> args,
                     std::string data = LOOKUPD_INDEX,
                     int port = 0,
                     rlim_t maxFiles = 0) {
        static int started = 0;
        m_log = ::testing::TempDir() + "lookupd_log_" + std::to_string(getpid()) + "_" + std::to_string(++started);
        const char* bin = std::getenv("LOOKUPD_BIN");  // another build of the service, if given
        args.insert(args.begin(),
                    {bin ? bin : LOOKUPD_BIN, "--listen", "127.0.0.1:" + std::to_string(port), "--data", data});
        m_pid = fork();
        if (m_pid == 0) {
            // A test run started in the background may ignore SIGINT, and a wrapper script
            // (the Windows build's) cannot catch a signal ignored when it started.
            signal(SIGINT, SIG_DFL);
            if (maxFiles) {
                const rlimit limit{maxFiles, maxFiles};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            FILE* f = std::freopen(m_log.c_str(), "w", stderr);
            (void)f;
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Service() {
        // A polite stop first: a wrapper that runs another build must get to stop it too.
        if (m_pid > 0 && (kill(m_pid, SIGTERM), WaitExit() == -1)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        std::remove(m_log.c_str());
    }

    // Waits (at most 10 s) until the log says where the service listens, or the process has ended.
    bool WaitReady() {
        const std::string said = "listening on 127.0.0.1:";
        for (auto end = steady_clock::now() + seconds(10); steady_clock::now() < end;) {
            std::string log = Log();
            size_t at = log.find(said);
            if (at != std::string::npos && log.find(' ', at + said.size()) != std::string::npos) {
                m_port = std::atoi(log.c_str() + at + said.size());
                return m_port > 0;
            }
            int st;
            if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_pid = -1;
                m_status = st;
                return false;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return false;
    }

    void Signal(int sig) { kill(m_pid, sig); }

    // Waits up to 10 s for a process that is expected to end by itself.
    int WaitExit() {
        for (auto end = steady_clock::now() + seconds(10); m_pid > 0 && steady_clock::now() < end;) {
            int st;
            if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_pid = -1;
                m_status = st;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return m_status;
    }

    std::string Log() const {  // with plain line ends, whatever the build's
        std::ifstream in(m_log);
        std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
        return log;
    }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
    int m_status = -1;
    std::string m_log;
};

class LiveService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_service = new Service({"--quiet"});
        ASSERT_TRUE(s_service->WaitReady()) << s_service->Log();
    }
    static void TearDownTestSuite() {
        delete s_service;
        s_service = nullptr;
    }
    static std::string Ask(const std::string& target) {
        Reply r = Exchange(s_service->Port(), ProgramRequest(target));
        return r.ok ? std::to_string(Status(r)) + " " + Utf8(r.body) : "<no reply>";
    }
    static Service* s_service;
};
Service* LiveService::s_service = nullptr;

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
};

TEST_F(LiveService, KnownPlacesAreNamedWithTheirDistrict) {
    for (const Place& p : kKnown) {
        std::string got = Ask(Degrees(p.lon, p.lat));
        EXPECT_EQ(got.rfind(std::string("200 ") + p.expect, 0), 0u) << p.what << ": " << got;
        EXPECT_EQ(got.find("附近"), std::string::npos) << p.what << " should be inside: " << got;
    }
}

// GPS positions are WGS84. Most of the data carries the GCJ-02 offset and Taiwan's
// files do not; these points lie 200 to 450 m inside the land as OpenStreetMap draws it
// (WGS84) and land in the sea or across a border unless both are handled.
TEST_F(LiveService, WgsPositionsNearSharpEdgesLandOnTheRightSide) {
    const Place kEdges[] = {
        {"Lantau south coast, Hong Kong", 113.988, 22.196, "香港特别行政区离岛区"},
        {"Lamma/Po Toi area coast, Hong Kong", 114.262, 22.176, "香港特别行政区离岛区"},
        {"Coloane, Macau (next to Zhuhai's Hengqin)", 113.553, 22.114, "澳门特别行政区圣方济各堂区"},
        {"Su'ao coast, Yilan, Taiwan", 121.844, 24.496, "台湾省宜兰县苏澳镇"},
        {"Toucheng coast, Yilan, Taiwan", 121.948, 24.846, "台湾省宜兰县头城镇"},
    };
    for (const Place& p : kEdges)
        EXPECT_EQ(Ask(Degrees(p.lon, p.lat, 0)), std::string("200 ") + p.expect) << p.what;
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
    EXPECT_LE(r.header.size(), 1024u);
    // The program takes the first "Content-Length" in the header and skips ": ".
    size_t at = r.header.find("Content-Length");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.header.substr(at, r.header.find("\r\n", at) - at), "Content-Length: " + std::to_string(r.body.size()));
    EXPECT_EQ(r.body, "\xBA\xD3\xC4\xCF\xCA\xA1\xD6\xA3\xD6\xDD\xCA\xD0\xBD\xF0\xCB\xAE\xC7\xF8");
    EXPECT_EQ(r.body.find('\0'), std::string::npos);
    EXPECT_LE(r.body.size(), lookupd::Answerer::kMaxBody);
}

TEST_F(LiveService, WrongPathsMethodsAndParameters) {
    EXPECT_EQ(Ask("/"), "404 404 Not Found: only GET /GetTextByPos is served");
    EXPECT_EQ(Ask("/GetTextByPos/x"), "404 404 Not Found: only GET /GetTextByPos is served");
    EXPECT_EQ(Ask("/healthz"), "200 ready");
    // Escapes are decoded before the checks: x is a number, radius is minus one.
    EXPECT_EQ(Ask("/GetTextByPos?x=%34%30916646&y=12524901&radius=%2D1&service=gettext"),
              "400 400 Bad Request: parameter radius is negative");
    Reply post = Exchange(s_service->Port(), "POST " + Target(40916646, 12524901) +
                                                 " HTTP/1.1\r\nHost:127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(Status(post), 404);
    EXPECT_EQ(Ask("/GetTextByPos?y=12524901&radius=6000&service=gettext"),
              "400 400 Bad Request: parameter x is missing");
    EXPECT_EQ(Ask("/GetTextByPos?x=40916646&y=abc&radius=6000&service=gettext"),
              "400 400 Bad Request: parameter y is not a 32-bit decimal integer");
    EXPECT_EQ(Ask(Target(40916646, 12524901, -1)), "400 400 Bad Request: parameter radius is negative");
    // A key given again: its first value counts, whatever follows.
    EXPECT_EQ(Ask(Target(40916646, 12524901) + "&x=oops&radius=-1&service=none"), "200 河南省郑州市金水区");
    EXPECT_EQ(Ask("/GetTextByPos?x=oops&" + Target(40916646, 12524901).substr(14)),
              "400 400 Bad Request: parameter x is not a 32-bit decimal integer");
}

TEST_F(LiveService, PipelinedRequestsAreAnsweredInOrder) {
    int s = Connect(s_service->Port());
    ASSERT_TRUE(SendAll(s, ProgramRequest(Target(40916646, 12524901)) +
                               "GET /nowhere HTTP/1.1\r\nHost:127.0.0.1\r\nConnection: close\r\n\r\n"));
    std::string all;
    char buf[1024];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
        all.append(buf, static_cast<size_t>(n));
    close(s);
    size_t ok = all.find("HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(ok, 0u) << all;
    EXPECT_NE(all.find("HTTP/1.1 404 Not Found\r\n", ok), std::string::npos) << all;
}

TEST_F(LiveService, OverlongRequestLineIsRefused) {
    std::string target = Target(40916646, 12524901) + "&pad=" + std::string(9000, 'a');
    Reply r = Exchange(s_service->Port(), ProgramRequest(target));
    EXPECT_EQ(Status(r), 414) << r.header;
    // And the service is still there for the next one.
    EXPECT_EQ(Ask(Target(40916646, 12524901)), "200 河南省郑州市金水区");
}

// --- Time-outs, the request deadline, start-up errors and stopping ------------------------------

// Sends the request one byte at a time, `gap` apart; true when it was answered with a 200,
// false when the service cut the connection first.
bool Drip(int port, milliseconds gap) {
    int s = Connect(port);
    std::string req = ProgramRequest(Target(40916646, 12524901));
    bool sent = s >= 0;
    for (size_t i = 0; sent && i < req.size(); ++i) {
        char c;
        sent = SendAll(s, req.substr(i, 1)) && recv(s, &c, 1, MSG_DONTWAIT | MSG_PEEK) != 0;
        std::this_thread::sleep_for(gap);
    }
    bool answered = sent && Status(ReadReply(s)) == 200;
    close(s);
    return answered;
}

TEST(ServiceLimits, SlowClientsAreServedWithinTheDeadlineAndCutBeyondIt) {
    // Each byte comes well within the read time-out; only the whole-request deadline tells
    // the two apart (the request is about 190 bytes: 1 s, then 5 s).
    Service svc({"--quiet", "--read-timeout-ms", "1000", "--deadline-ms", "3000"});
    ASSERT_TRUE(svc.WaitReady());
    EXPECT_TRUE(Drip(svc.Port(), milliseconds(5)));
    auto t0 = steady_clock::now();
    EXPECT_FALSE(Drip(svc.Port(), milliseconds(25)));
    EXPECT_LT(steady_clock::now() - t0, seconds(4));

    // A client that stops half-way is cut at the read time-out.
    int stall = Connect(svc.Port());
    ASSERT_GE(stall, 0);
    ASSERT_TRUE(SendAll(stall, "GET /GetTextByPos?x=40916646 HTTP/1.1\r\nHo"));
    t0 = steady_clock::now();
    char c;
    EXPECT_LE(recv(stall, &c, 1, 0), 0);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2500));
    close(stall);
}

TEST(ServiceLimits, IdleAndDeafClientsDoNotHoldUpOthers) {
    Service svc({"--quiet", "--read-timeout-ms", "3000"});
    ASSERT_TRUE(svc.WaitReady());
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        idle.push_back(Connect(svc.Port()));
        ASSERT_GE(idle.back(), 0) << i;
    }
    // A client that asks and asks and never reads: the service's writes to it stall.
    int deaf = Connect(svc.Port());
    ASSERT_GE(deaf, 0);
    std::string req = ProgramRequest(Target(40916646, 12524901));
    size_t sent = 0;
    while (sent < 200000 && send(deaf, req.data(), req.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0)
        ++sent;
    EXPECT_LT(sent, 200000u) << "the service kept reading from a client that does not read";

    auto t0 = steady_clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Status(Exchange(svc.Port(), req)), 200);
    EXPECT_LT(steady_clock::now() - t0, seconds(5));  // a generous bound: these take milliseconds
    for (int s : idle)
        close(s);
    close(deaf);
}

// A limit on descriptors is Linux's; the Windows build under Wine does not run this one.
TEST(ServiceOnLinux, RunningOutOfDescriptorsStopsNoOne) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' runtime needs a descriptor for each new type it checks, and has none here";
#endif
    // Room for a few dozen connections: the rest wait unaccepted until descriptors are free.
    Service svc({"--quiet", "--threads", "1"}, LOOKUPD_INDEX, 0, 48);
    ASSERT_TRUE(svc.WaitReady()) << svc.Log();
    std::vector<int> clients;
    for (int i = 0; i < 64; ++i)
        clients.push_back(Connect(svc.Port()));
    std::this_thread::sleep_for(milliseconds(200));
    for (int s : clients)
        close(s);
    EXPECT_EQ(Status(Exchange(svc.Port(), ProgramRequest(Target(40916646, 12524901)))), 200);
}

TEST(ServiceLimits, EndlessHeadersAreCut) {
    // Header lines, each short and quick, that never end: cut at the request's byte budget.
    Service svc({"--quiet", "--threads", "1"});
    ASSERT_TRUE(svc.WaitReady());
    int s = Connect(svc.Port());
    ASSERT_GE(s, 0);
    std::string line = "X-Filler: " + std::string(90, 'f') + "\r\n";
    size_t sent = 0;
    bool cut = !SendAll(s, "GET " + Target(40916646, 12524901) + " HTTP/1.1\r\n");
    while (!cut && sent < 50 * 1000 * 1000) {
        cut = !SendAll(s, line);
        sent += line.size();
        if (sent % (16 * line.size()) == 0)
            std::this_thread::sleep_for(milliseconds(2));  // give a slow build time to answer
        char c;
        if (recv(s, &c, 1, MSG_DONTWAIT) >= 0)
            cut = true;  // an error reply, or the close
    }
    close(s);
    EXPECT_TRUE(cut);
    EXPECT_LT(sent, 1000u * 1000u) << "the service read " << sent << " header bytes";
    EXPECT_EQ(Status(Exchange(svc.Port(), ProgramRequest(Target(40916646, 12524901)))), 200);
}

TEST(ServiceLimits, KeepAliveClientsAreNotCutWhileTheyKeepAsking) {
    Service svc({"--quiet", "--read-timeout-ms", "1000", "--deadline-ms", "1500"});
    ASSERT_TRUE(svc.WaitReady());
    int s = Connect(svc.Port());
    ASSERT_GE(s, 0);
    auto t0 = steady_clock::now();
    int answered = 0;
    while (steady_clock::now() - t0 < milliseconds(3000)) {
        if (!SendAll(s, ProgramRequest(Target(40916646, 12524901))) || !ReadReply(s).ok)
            break;
        ++answered;
        std::this_thread::sleep_for(milliseconds(400));
    }
    close(s);
    EXPECT_GE(answered, 7);
}

TEST(ServiceLifecycle, StopsCleanlyOnSigtermAndSigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        Service svc({});
        ASSERT_TRUE(svc.WaitReady());
        EXPECT_EQ(Status(Exchange(svc.Port(), ProgramRequest(Target(40916646, 12524901)))), 200);
        // A request under way when the stop comes is still answered; an idle one is closed.
        int idle = Connect(svc.Port());
        int busy = Connect(svc.Port());
        std::string req = ProgramRequest(Target(40916646, 12524901));
        ASSERT_TRUE(SendAll(busy, req.substr(0, 20)));
        std::this_thread::sleep_for(milliseconds(200));
        svc.Signal(sig);
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_TRUE(SendAll(busy, req.substr(20)));
        EXPECT_EQ(Status(ReadReply(busy)), 200);
        char c;
        EXPECT_EQ(recv(idle, &c, 1, 0), 0);
        close(idle);
        close(busy);
        int st = svc.WaitExit();
        ASSERT_NE(st, -1) << "did not stop within 10 s";
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        std::string log = svc.Log();
        EXPECT_NE(log.find("GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext 200 "),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("us\n"), std::string::npos);
        EXPECT_NE(log.find("stopped"), std::string::npos);
        // These tests run again with the loops on epoll: the service must say it obeyed, and
        // otherwise no loop may have fallen back to it unasked.
        const char* io = std::getenv("LOOKUPD_IO");
        if (io && std::string(io) == "epoll") {
            EXPECT_NE(log.find("; epoll)"), std::string::npos) << log;
        }
        EXPECT_EQ(log.find("a loop runs on epoll"), std::string::npos) << log;
    }
}

TEST(ServiceLifecycle, StartUpErrorsAreClear) {
    std::string junk = ::testing::TempDir() + "lookupd_junk_" + std::to_string(getpid()) + ".idx";
    std::ofstream(junk, std::ios::binary) << std::string(100, 'x');
    for (const std::string& data :
         {::testing::TempDir() + "lookupd_missing_" + std::to_string(getpid()) + ".idx", junk}) {
        Service svc({}, data);
        EXPECT_FALSE(svc.WaitReady());
        int st = svc.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
        EXPECT_NE(svc.Log().find("lumeno-lookupd: index file " + data), std::string::npos) << svc.Log();
    }
    std::remove(junk.c_str());

    // A port already held: the system's own reason, after the address.
    Service first({"--quiet"});
    ASSERT_TRUE(first.WaitReady());
    Service second({}, LOOKUPD_INDEX, first.Port());
    int st = second.WaitExit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    std::string held = "lumeno-lookupd: cannot listen on 127.0.0.1:" + std::to_string(first.Port()) + ": ";
    size_t at = second.Log().find(held);
    EXPECT_TRUE(at != std::string::npos && second.Log().size() > at + held.size() + 1) << second.Log();

    // --verify reads every byte: a damaged piece, which start-up does not read, is found.
    std::string damaged = ::testing::TempDir() + "lookupd_damaged_" + std::to_string(getpid()) + ".idx";
    {
        std::ifstream in(LOOKUPD_INDEX, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes[bytes.size() - 100] ^= 0x55;  // inside the last piece, before the file's checksum
        std::ofstream(damaged, std::ios::binary) << bytes;
    }
    for (const std::string& data : {std::string(LOOKUPD_INDEX), damaged}) {
        Service verify({"--verify"}, data);
        const bool good = data == LOOKUPD_INDEX;
        st = verify.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == (good ? 0 : 1)) << verify.Log();
        EXPECT_NE(verify.Log().find(good ? "checksum and every piece verified" : "checksum mismatch"),
                  std::string::npos)
            << verify.Log();
    }
    std::remove(damaged.c_str());

    for (const char* threads : {"0", "257"}) {
        Service bad({"--threads", threads});
        st = bad.WaitExit();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2) << threads << ": " << st;  // the usage text
    }
}

// The front end in this process, as a test or a fuzz target can run it.
// Descriptors this process has open.
size_t OpenFiles() {
    size_t n = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

TEST(ServerInProcess, AnswersOnThePortItGotAndStops) {
    lookupd::PlaceIndex index;
    ASSERT_EQ(index.Load(LOOKUPD_INDEX), "");
    lookupd::Answerer answerer(index);
    const size_t before = OpenFiles();
    auto owned = std::make_unique<lookupd::Server>(2, answerer, lookupd::Limits{}, true);
    lookupd::Server& server = *owned;
    EXPECT_EQ(server.Listen("localhost", 0), "not an IP address");
    ASSERT_EQ(server.Listen("127.0.0.1", 0), "");
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(server.Start(), "");
    std::thread running([&] { server.Run(); });
    // Two requests in one write: both are answered, in order, on the one connection.
    int s = Connect(server.Port());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendAll(s, ProgramRequest(Target(40916646, 12524901)) + ProgramRequest("/healthz")));
    Reply first = ReadReply(s), second = ReadReply(s);
    close(s);
    server.RequestStop();
    running.join();
    owned.reset();
    EXPECT_EQ(OpenFiles(), before) << "the server left descriptors open";
    EXPECT_EQ(Status(first), 200);
    EXPECT_EQ(Utf8(first.body), "河南省郑州市金水区");
    EXPECT_EQ(second.body, "ready");
}

}  // namespace
