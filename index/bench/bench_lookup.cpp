// In-process lookup latency over a fixed set of points spread over the service region.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "index/place_index.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: lookupd_bench INDEX [COUNT]\n");
        return 2;
    }
    size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000;
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    lookupd::PlaceIndex index;
    std::string err = index.Load(argv[1]);
    if (!err.empty()) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    double loadMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();

    // The program's service region, inclusive on the left and top edges.
    std::mt19937_64 rng(20240601);
    std::uniform_int_distribution<int64_t> xs(26440905, 48630897), ys(1227051, 19280852);
    std::vector<std::pair<int64_t, int64_t>> pts(count);
    for (auto& p : pts)
        p = {xs(rng), ys(rng)};

    std::vector<double> us(count);
    size_t inside = 0, near = 0;
    for (size_t i = 0; i < count; ++i) {
        auto a = Clock::now();
        lookupd::Match m = index.Lookup(pts[i].first, pts[i].second, 6000);
        auto b = Clock::now();
        us[i] = std::chrono::duration<double, std::micro>(b - a).count();
        inside += m.kind == lookupd::Match::kInside;
        near += m.kind == lookupd::Match::kNear;
    }
    std::sort(us.begin(), us.end());
    std::printf("index load: %.0f ms (%zu districts, %zu pieces)\n", loadMs, index.DistrictCount(), index.PieceCount());
    std::printf("lookups: %zu points, %zu inside a district, %zu near one, %zu unknown\n", count, inside, near,
                count - inside - near);
    std::printf("lookup latency: p50 %.2f us, p99 %.2f us, max %.2f us\n", us[count / 2], us[count * 99 / 100],
                us[count - 1]);
    return 0;
}
