#include "core/ServiceRegion.h"

namespace {

constexpr int32_t kRegionLeft = 26440905;
constexpr int32_t kRegionRight = 48630898;
constexpr int32_t kRegionTop = 1227051;
constexpr int32_t kRegionBottom = 19280853;

}  // namespace

bool IsInServiceRegion(MapPoint point) {
    return point.x >= kRegionLeft && point.x < kRegionRight && point.y >= kRegionTop && point.y < kRegionBottom;
}
