// Two typed coordinate texts in any of the three notations become a point in
// map units.
#pragma once

#include "core/String.h"
#include "core/MapPoint.h"

// Never fails: pieces without a number read as 0, and a malformed pair
// gives (0, 0), which the region test turns away.
MapPoint ParseCoordinates(CString strLongitude, CString strLatitude);
