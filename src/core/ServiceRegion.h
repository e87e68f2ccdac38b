// The region every front end answers in, and refuses outside of. Apart from the lookup
// exchange so that a front end without sockets (the PostgreSQL extension) links it alone.
#pragma once

#include "core/MapPoint.h"

// Left and top edges inside, right and bottom edges outside.
bool IsInServiceRegion(MapPoint point);
