// Coordinate texts to map units. Every expected value is exact: a one-unit
// difference is a real fault (wider intermediate precision, rounding instead
// of truncation, dividing instead of multiplying by the minute factor).
#include <gtest/gtest.h>

#include <string>

#include "core/CoordinateParser.h"
#include "core/LocationQuery.h"

namespace {

struct ParseCase {
    std::string lon;
    std::string lat;
    int32_t x;
    int32_t y;
};

const ParseCase kPairs[] = {
    // The three notations on the About box's examples. The first row's product
    // is exactly 40916646.0 only when rounded to a double at once; an x87
    // intermediate would truncate to 40916645.
    {"113.65735", "34.79139167", 40916646, 12524901},
    {"113.39'26.46\"", "34.47'29.01\"", 40916646, 12524900},
    {"113.39'441", "34.41'4835", 40916646, 12488900},
    {" 113.65735", "34.79139167", 40916646, 12524901},
    {"113.39'26.46\"abc", "34.47'29.01\"xyz", 40916646, 12524900},
    // Truncation, not rounding: each of these lies a hair below a whole unit.
    {"113.39'", "34.47'", 40914000, 12522000},
    {"113.39'441", "34.41'", 40916646, 12485999},
    {"-113.39'441", "-34.41'", -40443354, -11994000},
    // Minutes and seconds are multiplied by the double nearest 1/60 and 1/3600.
    // Dividing by 60 or 3600 instead gives 186000, 462000, 25200 and 27600 here.
    {"0.31'", "0.77'", 185999, 461999},
    {"0.1'192\"", "0.3'96\"", 25199, 27599},
    // Which notation applies is decided once for the pair, from both texts' marks.
    {"113.5'", "34.5'", 40710000, 12270000},
    {"113.39'26.46\"", "34.47'29", 40680000, 12240000},
    {"113.39'26.46\"", "34.79139167", 40820400, 12524901},
    {"113'39'26", "34'47'29", 0, 0},
    {"113'39.5\"", "34.47'29.01\"", 40683950, 12524900},
    {"", "", 0, 0},
    // A mark at the very start of either text still counts.
    {".5'30", ".5'30", 31800, 31800},
    {"'3.5", "34.5'", 1800, 12270000},
    {"113.5'", "'30", 0, 0},
    {"\"113.39'26.46", "\"34.47'29.01", 234000, 282000},
    {"abc", "北京", 0, 0},
    // Out of range: the low 32 bits of the 64-bit truncation, and 0 beyond 2^63.
    {"12004", "30", 26472704, 10800000},
    {"1e300", "30", 0, 10800000},
    {"-1e300", "1e-400", 0, 0},
    {"1e400", "30", 0, 10800000},
    {"5965.2323555555555", "-5965.232355555556", INT32_MIN, INT32_MIN},
    // A piece is read from at most 51 bytes: later digits do not count, and
    // nothing past the scratch copy is read.
    {"113.65735" + std::string(42, '0'), "34.79139167" + std::string(40, '0') + "9999", 40916646, 12524901},
    {std::string(50, ' ') + "73.0'", "34.0'", 7 * 360000, 34 * 360000},  // the 7 is byte 51
    {std::string(51, ' ') + "73.0'", "34.0'", 0, 34 * 360000}};          // the degrees start past byte 51

TEST(ParseCoordinates, GivesExactMapUnits) {
    for (const ParseCase& c : kPairs) {
        MapPoint p = ParseCoordinates(c.lon.c_str(), c.lat.c_str());
        EXPECT_EQ(p.x, c.x) << "[" << c.lon << "] [" << c.lat << "]";
        EXPECT_EQ(p.y, c.y) << "[" << c.lon << "] [" << c.lat << "]";
    }
}

// Region edges: left and top inside, right and bottom outside; each pair is
// one map unit apart on the coordinate that crosses the edge.
TEST(ServiceRegion, EdgesAreHalfOpen) {
    const struct {
        const char* lon;
        const char* lat;
        int32_t coordinate;
        bool inside;
    } cases[] = {{"135.0858277", "34.5", 48630897, true}, {"135.0858278", "34.5", 48630898, false},
                 {"73.44695834", "34.5", 26440905, true}, {"73.44695833", "34.5", 26440904, false},
                 {"113.5", "3.408475", 1227051, true},    {"113.5", "3.4084749", 1227050, false},
                 {"113.5", "53.5579249", 19280852, true}, {"113.5", "53.557925", 19280853, false}};
    for (const auto& c : cases) {
        MapPoint p = ParseCoordinates(c.lon, c.lat);
        EXPECT_EQ(std::string(c.lon) == "113.5" ? p.y : p.x, c.coordinate) << c.lon << " " << c.lat;
        EXPECT_EQ(IsInServiceRegion(p), c.inside) << c.lon << " " << c.lat;
    }
}

}  // namespace
