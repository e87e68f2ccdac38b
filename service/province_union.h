// A province's outline as the union of its districts' polygons. The districts' borders come from
// several sources and rarely meet vertex for vertex, so edges cannot simply cancel: the union
// is taken with Boost.Geometry and the slivers it leaves between districts are dropped.
#pragma once

#include <vector>

#include "service/outlines.h"

namespace lookupd {

// tolerance in 1/32 map units: each district is simplified to it before the union, and the
// rings narrower on average than it (slivers between districts, not enclaves such as 北京市 in
// 河北省) are dropped after it, and so are holes under half a square degree. Rings only (outlines and holes), on the
// index's plane.
Outline ProvinceOutline(const OutlineSource& source, const std::vector<uint32_t>& districts, double tolerance);

}  // namespace lookupd
