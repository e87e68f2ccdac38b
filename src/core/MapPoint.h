#pragma once

#include <cstdint>

// A position in map units: 1/360000 of a degree (a hundredth of an arc-second).
struct MapPoint {
    int32_t x;  // longitude
    int32_t y;  // latitude
};
