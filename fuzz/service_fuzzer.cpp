// The lookup service's request handling, without the network: the fuzzer's
// bytes go either through cpp-httplib's own request parser and router (a
// server fed from memory) to the service's answerer, or straight into the
// answerer as a query text. Whatever comes in, the answer is 200 or 400 and
// its body is a text the program can show: not empty, no zero byte, at most
// 4095 bytes.
//
// Input layout: the first byte's lowest bit picks the way in (0: whole
// request bytes, 1: a query text such as "x=1&y=2"); the rest is the input.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "answer.h"
#include "fuzz_check.h"
#include "geo.h"
#include "pieces.h"
#include "place_index.h"

namespace {

using lookupd::Fixed;
using lookupd::FixedRing;

// A ring of n vertices around a centre, radii in degrees, kept off the cut
// lines the way the converter keeps its vertices (even fixed units).
FixedRing Ring(double lon, double lat, double radius, int n) {
    FixedRing ring;
    for (int i = 0; i < n; ++i) {
        double angle = 6.283185307179586 * i / n;
        double r = radius * (i % 3 == 0 ? 1.0 : 0.8);
        ring.push_back(Fixed{lookupd::DegreesToFixed(lon + r * std::cos(angle)),
                             lookupd::DegreesToFixed(lat + r * std::sin(angle))});
    }
    return ring;
}

// A small index of its own, cut into pieces by the service's own code: one
// district with a hole, one beside it, one far away, one in the east where
// the search tree's box sums once overflowed 32 bits; enough for every kind
// of match (inside, near, none) and every branch of the piece search.
const lookupd::PlaceIndex& Index() {
    static lookupd::PlaceIndex index;
    static bool loaded = false;
    if (loaded)
        return index;
    std::vector<lookupd::District> districts(4);
    districts[0].name = "新疆维吾尔自治区乌鲁木齐市天山区";
    lookupd::SplitPolygon({Ring(87.6, 43.8, 0.3, 90), Ring(87.6, 43.8, 0.05, 12)}, 32, districts[0].pieces);
    districts[1].name = "新疆维吾尔自治区乌鲁木齐市米东区";
    lookupd::SplitPolygon({Ring(88.05, 43.8, 0.15, 40)}, 32, districts[1].pieces);
    districts[2].name = "新疆维吾尔自治区喀什地区塔什库尔干塔吉克自治县";
    lookupd::SplitPolygon({Ring(75.2, 37.7, 1.0, 200)}, 32, districts[2].pieces);
    districts[3].name = "河南省郑州市金水区";
    lookupd::SplitPolygon({Ring(113.66, 34.79, 0.1, 40)}, 32, districts[3].pieces);

    char path[] = "/tmp/lumeno-fuzz-index-XXXXXX";
    int fd = mkstemp(path);
    FUZZ_CHECK(fd >= 0);
    close(fd);
    std::string error = lookupd::WriteIndex(path, lookupd::Datum::kGcj02, districts);
    if (error.empty())
        error = index.Load(path);
    unlink(path);
    if (!error.empty()) {
        std::fprintf(stderr, "service fuzzer: %s\n", error.c_str());
        std::abort();
    }
    loaded = true;
    return index;
}

const lookupd::Answerer& TheAnswerer() {
    static lookupd::Answerer answerer(Index());
    FUZZ_CHECK(answerer.Error().empty());
    return answerer;
}

void CheckReply(const lookupd::Reply& reply, const httplib::Params& params) {
    FUZZ_CHECK(reply.status == 200 || reply.status == 400);
    FUZZ_CHECK(!reply.body.empty());
    FUZZ_CHECK(reply.body.size() <= lookupd::Answerer::kMaxBody);
    FUZZ_CHECK(reply.body.find('\0') == std::string::npos);
    if (reply.status == 200) {
        auto service = params.find("service");
        FUZZ_CHECK(service != params.end() && service->second == "gettext");
        FUZZ_CHECK(params.count("x") && params.count("y") && params.count("radius"));
    }
}

// The request bytes as a connection that has sent them and then waits.
class MemoryStream : public httplib::Stream {
public:
    explicit MemoryStream(std::string input) : m_input(std::move(input)) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        size_t n = std::min(size, m_input.size() - m_read);
        std::memcpy(ptr, m_input.data() + m_read, n);
        m_read += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        m_output.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 18360;
    }
    socket_t socket() const override { return 0; }

    bool exhausted() const { return m_read == m_input.size(); }
    const std::string& output() const { return m_output; }

private:
    std::string m_input;
    size_t m_read = 0;
    std::string m_output;
};

// The service's route and limits on a server that is fed from memory.
class MemoryServer : public httplib::Server {
public:
    MemoryServer() {
        set_payload_max_length(4096);
        Get("/GetTextByPos", [](const httplib::Request& req, httplib::Response& res) {
            lookupd::Reply reply = TheAnswerer().Answer(req.params);
            CheckReply(reply, req.params);
            res.status = reply.status;
            res.set_content(reply.body, "text/plain; charset=GBK");
        });
    }
    // One connection: requests are served while it stays open, as with
    // keep-alive, and each gets a response.
    void Serve(MemoryStream& stream) {
        for (int i = 0; i < 8 && !stream.exhausted(); ++i) {
            size_t before = stream.output().size();
            bool closed = false;
            process_request(stream, false, closed, [](httplib::Request&) {});
            FUZZ_CHECK(stream.output().compare(before, 9, "HTTP/1.1 ") == 0);
            if (closed)
                break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryServer server;
    if (size < 1)
        return 0;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0) {
        MemoryStream stream(std::move(input));
        server.Serve(stream);
    } else {
        httplib::Params params;
        httplib::detail::parse_query_text(input, params);
        CheckReply(TheAnswerer().Answer(params), params);
    }
    return 0;
}
