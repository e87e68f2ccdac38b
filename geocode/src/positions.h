// Positions from the texts of a table or a track log, in map units (1/360000 degree).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/MapPoint.h"

namespace geocode {

// The program's three notations, as a cell must be written to be taken.
enum class Notation { kInvalid, kDecimal, kDegreesMinutes, kDegreesMinutesSeconds };

// The notation of one trimmed cell; `why` says what is wrong with an invalid one.
Notation ClassifyCell(std::string_view text, std::string& why);

// A longitude and a latitude typed in one of the three notations, read by the program's own
// parser once both are known to be well formed and in the same notation. Returns an empty
// string or why the pair is refused.
std::string ParseTypedPair(std::string_view lon, std::string_view lat, MapPoint& out);

// An unsigned decimal ("34.7913916") times `factor`, exactly, truncated toward zero; false
// for anything but digits with at most one point, or a result beyond 32 bits.
bool ExactDecimalUnits(std::string_view text, int64_t factor, int64_t& out);

// A signed decimal number of degrees, exactly, truncated toward zero (GPX attributes).
bool ExactDegrees(std::string_view text, int32_t& units);

// NMEA's [d]ddmm.mmmm with its hemisphere letter; `degreeDigits` is 2 for a latitude, 3 for a
// longitude. Returns an empty string or why the field is refused.
std::string NmeaAngle(std::string_view field, std::string_view hemisphere, int degreeDigits, int32_t& units);

// The service's region, as the program tests it.
bool InRegion(MapPoint p);

std::string_view Trim(std::string_view s);

}  // namespace geocode
