// lookupd_compare: the answers of a version 4 index (the format before the compact one) beside
// today's index, on a grid over the program's service region. Prints how many differ and why:
// a point within about a metre of a border (the old answer changes within 0.93 m of it), a
// near answer whose distance moved by less than a metre, or neither (printed one by one).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "answer.h"
#include "index_v4.h"
#include "place_index.h"

using namespace lookupd;

namespace {

// The program's service region in map units (1/360000 degree).
constexpr int64_t kWest = 26440905, kEast = 48630897, kSouth = 1227051, kNorth = 19280852;
// 3 map units, 0.93 m along a meridian and less along a parallel.
constexpr int64_t kMetre = 3;

template <class Index>
std::string Text(const Index& index, const Match& m) {
    switch (m.kind) {
        case Match::kInside:
            return std::string(index.Name(m.district));
        case Match::kNear:
            return Answerer::NearText(std::string(index.Name(m.district)), m.metres);
        case Match::kNone:
            return "-";
        case Match::kError:
            break;
    }
    return "(error)";
}

// True where the old index answers differently somewhere within kMetre of the point.
bool NearABorder(const IndexV4& old, int64_t x, int64_t y) {
    Match here = old.Lookup(x, y, 0);
    const int64_t d[8][2] = {{kMetre, 0}, {-kMetre, 0}, {0, kMetre}, {0, -kMetre}, {2, 2}, {2, -2}, {-2, 2}, {-2, -2}};
    for (const auto& o : d) {
        Match m = old.Lookup(x + o[0], y + o[1], 0);
        if (m.kind != here.kind || m.district != here.district)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string oldPath, newPath;
    double step = 0.01;
    int64_t radius = 6000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--old")
            oldPath = argv[i + 1];
        else if (a == "--new")
            newPath = argv[i + 1];
        else if (a == "--step")
            step = std::atof(argv[i + 1]);
        else if (a == "--radius")
            radius = std::atoll(argv[i + 1]);
    }
    if (oldPath.empty() || newPath.empty() || !(step >= 0.001)) {
        std::fprintf(stderr, "usage: lookupd_compare --old V4_INDEX --new INDEX [--step DEGREES] [--radius UNITS]\n");
        return 2;
    }
    IndexV4 old;
    PlaceIndex now;
    std::string err = old.Load(oldPath);
    if (err.empty())
        err = now.Load(newPath);
    if (!err.empty()) {
        std::fprintf(stderr, "lookupd_compare: %s\n", err.c_str());
        return 1;
    }
    const int64_t s = std::llround(step * kMapUnitsPerDegree);
    size_t points = 0, same = 0, border = 0, distance = 0, errors = 0, other = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (int64_t y = kSouth; y <= kNorth; y += s)
        for (int64_t x = kWest; x <= kEast; x += s) {
            ++points;
            Match a = old.Lookup(x, y, radius), b = now.Lookup(x, y, radius);
            std::string ta = Text(old, a), tb = Text(now, b);
            if (ta == tb) {
                ++same;
            } else if (b.kind == Match::kError) {
                ++errors;
            } else if (a.kind == Match::kNear && b.kind == Match::kNear && a.district == b.district &&
                       std::fabs(a.metres - b.metres) < 1.0) {
                ++distance;
            } else if (NearABorder(old, x, y)) {
                ++border;
            } else {
                if (++other <= 20)
                    std::printf("differs at x=%lld y=%lld: kind %d district %u %.2f m -> kind %d district %u %.2f m\n",
                                static_cast<long long>(x), static_cast<long long>(y), a.kind, a.district, a.metres,
                                b.kind, b.district, b.metres);
            }
        }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf(
        "answers compared on a %.3f degree grid (radius %lld): %zu points, %zu identical, %zu within 1 m of a "
        "border, %zu near answers whose distance moved by less than 1 m, %zu errors, %zu other differences "
        "(%.0f s)\n",
        step, static_cast<long long>(radius), points, same, border, distance, errors, other, secs);
    return other == 0 && errors == 0 ? 0 : 1;
}
