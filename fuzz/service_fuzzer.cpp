// The lookup service's request handling, without the network: the fuzzer's
// bytes go either through the service's own read step (Beast's parser within
// the service's byte budget) into its routing (several requests in a row, as on a
// kept-alive connection), or straight into the query parser and answerer.
// Whatever comes in, a query's answer is 200 or 400 and its body is a text
// the program can show: not empty, no zero byte, at most 4095 bytes.
//
// Input layout: the first byte's lowest bit picks the way in (0: whole
// request bytes, 1: a query text such as "x=1&y=2"); the rest is the input.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/answer.h"
#include "fuzz_check.h"
#include "index/gbk.h"
#include "index/geo.h"
#include "index/pieces.h"
#include "index/place_index.h"
#include "indexer/index_writer.h"
#include "indexer/piece_cutter.h"
#include "service/routes.h"

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

    // The index holds its names in GBK, as the converter writes them.
    for (lookupd::District& d : districts)
        FUZZ_CHECK(lookupd::Utf8ToGbk(std::string(d.name), d.name));

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
    return answerer;
}

using Params = std::multimap<std::string, std::string>;

void CheckReply(const lookupd::Reply& reply, const Params& params) {
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

// The JSON route's answer: always JSON, an address or "Unable to geocode" when 200, an error
// that names a parameter when 400.
void CheckJson(const lookupd::JsonReply& reply) {
    FUZZ_CHECK(reply.status == 200 || reply.status == 400);
    const nlohmann::json j = nlohmann::json::parse(reply.body, nullptr, false);
    FUZZ_CHECK(!j.is_discarded() && j.is_object());
    if (reply.status == 400) {
        FUZZ_CHECK(j["error"]["message"].get<std::string>().rfind("Parameter '", 0) == 0);
    } else if (j.contains("error")) {
        FUZZ_CHECK(j["error"] == "Unable to geocode");
    } else {
        const nlohmann::json& p = j.contains("features") ? j["features"][0]["properties"] : j;
        const std::string display = p.contains("geocoding") ? p["geocoding"]["label"] : p["display_name"];
        FUZZ_CHECK(display.size() > 8 && display.compare(display.size() - 8, 8, ", \xE4\xB8\xAD\xE5\x9B\xBD") == 0);
    }
}

// One connection's bytes through the service's own read step: each request it completes is
// routed; a refusal ends the connection, as it does in the service.
void Serve(const std::string& input) {
    lookupd::RequestReader reader;
    size_t off = 0;
    for (int i = 0; i < 8 && off < input.size(); ++i) {
        reader.Reset();
        size_t used = 0;
        auto state = reader.Feed(std::string_view(input).substr(off), used);
        FUZZ_CHECK(used <= input.size() - off);
        off += used;
        if (state == lookupd::RequestReader::State::kRefused) {
            const lookupd::HttpReply& r = reader.Refusal();
            FUZZ_CHECK(r.status == 400 || r.status == 413 || r.status == 414);
            return;
        }
        if (state == lookupd::RequestReader::State::kNeedMore)
            return;
        const auto& req = reader.Get();
        std::string method(req.method_string()), target(req.target());
        lookupd::HttpReply r = lookupd::Route(TheAnswerer(), method, target, true);
        FUZZ_CHECK(r.status == 200 || r.status == 400 || r.status == 404 || r.status == 414);
        FUZZ_CHECK(r.contentType != nullptr && !r.body.empty());
        if (target.size() > lookupd::kMaxTarget)
            FUZZ_CHECK(r.status == 414);
        else if (method == "GET" && target.compare(0, target.find('?'), "/reverse") == 0)
            CheckJson(lookupd::JsonReply{r.status, r.body});
        else if (method == "GET" && target.compare(0, target.find('?'), "/GetTextByPos") == 0) {
            size_t q = target.find('?');
            CheckReply(lookupd::Reply{r.status, r.body},
                       lookupd::ParseQuery(q == std::string::npos ? std::string() : target.substr(q + 1)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0) {
        Serve(input);
    } else if ((data[0] & 2) == 0) {
        Params params = lookupd::ParseQuery(input);
        CheckReply(TheAnswerer().Answer(params), params);
    } else {
        CheckJson(TheAnswerer().Json().Answer(lookupd::ParseQuery(input)));
    }
    return 0;
}
