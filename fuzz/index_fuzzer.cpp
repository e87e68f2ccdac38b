// The district index as the service reads it, from a file that may be damaged. The
// fuzzer's bytes are laid over a small real index (the first four give where), and its
// checksums are then made to hold again unless the fifth byte's lowest bit is set, so the
// checks behind them and the piece decoder see the damage. The second bit has the lookups go
// through the grid for bulk lookups instead of the tree. Whatever the file, loading either
// refuses it or gives an index whose every lookup answers a district it has, nothing, or an
// error, and whose full check runs to its end.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "index/geo.h"
#include "index/pieces.h"
#include "index/place_index.h"
#include "indexer/index_writer.h"
#include "indexer/piece_cutter.h"

namespace {

using lookupd::Fixed;
using lookupd::FixedRing;

// Vertices on the 1/1024 degree grid and off it, so that every kind of coordinate is written.
FixedRing Ring(double lon, double lat, double radius, int n) {
    FixedRing ring;
    for (int i = 0; i < n; ++i) {
        double angle = 6.283185307179586 * i / n;
        double r = radius * (i % 3 == 0 ? 1.0 : 0.8);
        double x = lon + r * std::cos(angle), y = lat + r * std::sin(angle);
        if (i % 2)
            x = std::round(x * 1024) / 1024, y = std::round(y * 1024) / 1024;
        ring.push_back(Fixed{lookupd::DegreesToFixed(x), lookupd::DegreesToFixed(y)});
    }
    return ring;
}

const std::string& Pristine() {
    static std::string bytes;
    if (!bytes.empty())
        return bytes;
    std::vector<lookupd::District> districts(3);
    districts[0].name = "A";
    lookupd::SplitPolygon({Ring(87.6, 43.8, 0.3, 90), Ring(87.6, 43.8, 0.05, 12)}, 24, districts[0].pieces);
    districts[1].name = "B";
    lookupd::SplitPolygon({Ring(88.05, 43.8, 0.15, 40)}, 24, districts[1].pieces);
    districts[2].name = "C";
    lookupd::SplitPolygon({Ring(113.66, 34.79, 0.1, 40)}, 24, districts[2].pieces);
    char path[] = "/tmp/lumeno-fuzz-index-XXXXXX";
    int fd = mkstemp(path);
    FUZZ_CHECK(fd >= 0);
    close(fd);
    std::string err = lookupd::WriteIndex(path, lookupd::Datum::kWgs84, districts);
    if (!err.empty()) {
        std::fprintf(stderr, "index fuzzer: %s\n", err.c_str());
        std::abort();
    }
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(path);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5)
        return 0;
    std::string bytes = Pristine();
    uint32_t at;
    std::memcpy(&at, data, 4);
    at %= bytes.size();
    for (size_t i = 5; i < size && at + i - 5 < bytes.size(); ++i)
        bytes[at + i - 5] ^= static_cast<char>(data[i]);
    if ((data[4] & 1) == 0)
        lookupd::ResealIndex(bytes);

    static const std::string path = "/tmp/lumeno-fuzz-index-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    lookupd::PlaceIndex index;
    if (!index.Load(path).empty()) {
        FUZZ_CHECK(index.DistrictCount() == 0);
        return 0;
    }
    (void)index.Verify();
    if (data[4] & 2)
        index.BuildCells();
    std::vector<lookupd::PlaceIndex::Query> queries;
    for (double lon = 87.2; lon < 88.3; lon += 0.05)
        for (double lat : {43.8, 43.62, 43.95})
            queries.push_back({std::llround(lon * 360000), std::llround(lat * 360000)});
    // One at a time and, as the batch tool asks, all at once.
    std::vector<lookupd::Match> many(queries.size());
    index.LookupMany(queries.data(), queries.size(), 6000, many.data());
    for (size_t i = 0; i < queries.size(); ++i) {
        lookupd::Match m = index.Lookup(queries[i].x, queries[i].y, 6000);
        FUZZ_CHECK(m.kind == many[i].kind && m.district == many[i].district);
        if (m.kind == lookupd::Match::kInside || m.kind == lookupd::Match::kNear) {
            FUZZ_CHECK(m.district < index.DistrictCount());
            FUZZ_CHECK(index.Name(m.district).size() < bytes.size());
        }
    }
    return 0;
}
