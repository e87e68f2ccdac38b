// The coordinate systems that positions in China come in, and the conversions between them.
// WGS-84 is GPS's (CGCS2000 differs from it by centimetres); GCJ-02 is the offset datum that
// maps published in China use (Amap, Tencent, Apple's maps there), and the index's own; BD-09
// is Baidu's further offset of GCJ-02. All in decimal degrees.
#pragma once

#include <string>
#include <string_view>

namespace lookupd {

enum class Crs { kWgs84, kGcj02, kBd09 };

// A system by the name users know it: wgs84, gcj02 (or amap, tencent), bd09 (or baidu), in any
// case. False for any other name.
bool ParseCrs(std::string_view name, Crs& out);

// The canonical name: wgs84, gcj02, bd09.
const char* CrsName(Crs crs);

// The names ParseCrs takes, for a message that refuses another.
const char* KnownCrsNames();

// The offset between WGS-84 and GCJ-02 applies inside a box around China only; elsewhere the
// two are the same, as in every usual conversion.
bool InGcj02Area(double lon, double lat);

void Wgs84ToGcj02(double lon, double lat, double& outLon, double& outLat);
// By iteration to better than 1e-9 degree: the one-step inverse is off by metres.
void Gcj02ToWgs84(double lon, double lat, double& outLon, double& outLat);
void Gcj02ToBd09(double lon, double lat, double& outLon, double& outLat);
// The usual closed form, then refined against Gcj02ToBd09 to better than 1e-9 degree (the
// closed form alone is off by up to half a metre).
void Bd09ToGcj02(double lon, double lat, double& outLon, double& outLat);

// From one system to another, through GCJ-02 where neither end is it.
void ConvertCrs(Crs from, Crs to, double& lon, double& lat);

}  // namespace lookupd
