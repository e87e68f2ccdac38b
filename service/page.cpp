#include "service/page.h"

#include <cmath>

#include "core/LocationQuery.h"
#include "index/crs.h"
#include "positions.h"
#include "service/json_text.h"

namespace lookupd {

namespace {

// The window's kOutOfRegionText in UTF-8 (a plain literal is GBK in the Windows builds).
constexpr char kRefusalText[] = u8"抱歉,请求的位置不在中国境内!";

// The radius the program asks with: 6000 map units, a sixtieth of a degree.
constexpr int64_t kNearRadius = 6000;

const std::string* First(const std::multimap<std::string, std::string>& params, const char* key) {
    auto it = params.lower_bound(key);
    return it != params.end() && it->first == key ? &it->second : nullptr;
}

PageReply Json(int status, std::string body) {
    return PageReply{status, std::move(body), "application/json; charset=utf-8"};
}

PageReply Refuse(const std::string& message) {
    std::string body = "{\"error\":{\"code\":400,\"message\":";
    PutJsonString(body, message);
    return Json(400, body + "}}");
}

// What the window shows for a position it will not send (its parser turns a malformed text
// into a point outside the region), and why, in the batch tool's words. An answer, not a
// malformed request: 200, so that a browser logs no failed request for a typing error.
PageReply Refusal(const std::string& why) {
    std::string body = "{\"refusal\":";
    PutJsonString(body, kRefusalText);
    body += ",\"reason\":";
    PutJsonString(body, why);
    return Json(200, body + "}");
}

std::string Pair(double lon, double lat) {
    char text[64];
    std::snprintf(text, sizeof text, "[%.8f,%.8f]", lon, lat);
    return text;
}

// The two texts of a position typed in one box: blanks, commas or a full-width comma between.
std::vector<std::string> Split(const std::string& pos) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i <= pos.size(); ++i) {
        const bool wide = pos.compare(i, 3, "\xEF\xBC\x8C") == 0;  // ，
        if (i == pos.size() || wide || pos[i] == ' ' || pos[i] == ',' || pos[i] == '\t') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
            i += wide ? 2 : 0;
        } else {
            cur += pos[i];
        }
    }
    return parts;
}

}  // namespace

const char kPagePolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

std::optional<PageReply> PageAnswerer::Answer(std::string_view path,
                                              const std::multimap<std::string, std::string>& params) const {
    for (size_t i = 0; i < kPageFileCount; ++i)
        if (path == kPageFiles[i].path)
            return PageReply{200, kPageFiles[i].body, kPageFiles[i].contentType};
    if (path == "/locate")
        return Locate(params);
    if (path == "/outline")
        return m_outlines.District(params);
    if (path == "/provinces")
        return m_outlines.Provinces(params);
    return std::nullopt;
}

PageReply PageAnswerer::Locate(const std::multimap<std::string, std::string>& params) const {
    const std::string* pos = First(params, "pos");
    if (!pos || pos->size() > 200)
        return Refuse("Parameter 'pos' must hold a longitude and a latitude (at most 200 characters)");
    Crs crs = Crs::kWgs84;
    if (const std::string* c = First(params, "coordtype"); c && !ParseCrs(*c, crs))
        return Refuse(std::string("Parameter 'coordtype' must be one of ") + KnownCrsNames());
    const std::vector<std::string> parts = Split(*pos);
    if (parts.size() != 2)
        return Refusal("a position is two numbers, the longitude and then the latitude; " +
                       std::to_string(parts.size()) + " given");
    MapPoint point{0, 0};
    if (std::string why = geocode::ParseTypedPair(parts[0], parts[1], point); !why.empty())
        return Refusal(why);
    if (!IsInServiceRegion(point))
        return Refusal("the position lies outside the service's region (73.45 to 135.09 E, 3.41 to 53.56 N)");

    const double lon = point.x / kMapUnitsPerDegree, lat = point.y / kMapUnitsPerDegree;
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"input\":{\"units\":[%d,%d],\"lon\":%.8f,\"lat\":%.8f,\"coordtype\":\"%s\"},\"positions\":{",
                  point.x, point.y, lon, lat, CrsName(crs));
    std::string body = head;
    for (Crs to : {Crs::kWgs84, Crs::kGcj02, Crs::kBd09}) {
        double x = lon, y = lat;
        ConvertCrs(crs, to, x, y);
        body += std::string(to == Crs::kWgs84 ? "" : ",") + "\"" + CrsName(to) + "\":" + Pair(x, y);
    }
    body += "}";

    const Match m = m_index.Lookup(point.x, point.y, kNearRadius, crs);
    if (m.kind == Match::kError)
        return Json(500, "{\"error\":{\"code\":500,\"message\":\"the district index is damaged\"}}");
    if (m.kind == Match::kNone)
        return Json(200, body + ",\"match\":\"none\"}");
    const DistrictName& n = m_outlines.Names()[m.district];
    body += m.kind == Match::kInside ? ",\"match\":\"inside\"" : ",\"match\":\"near\"";
    for (auto [key, value] : {std::pair{"province", &n.levels.province},
                              {"prefecture", &n.levels.prefecture},
                              {"district", &n.levels.district},
                              {"full", &n.full},
                              {"code", &n.code}}) {
        body += std::string(",\"") + key + "\":";
        PutJsonString(body, *value);
    }
    body += ",\"distance_m\":";
    if (m.kind != Match::kNear)
        return Json(200, body + "null,\"nearest\":null}");
    body += std::to_string(std::lround(m.metres)) + ",\"nearest\":";
    // The nearest point of the district's border, for the line the page draws to it.
    double x = lon, y = lat;
    ConvertCrs(crs, m_index.IndexDatum() == Datum::kGcj02 ? Crs::kGcj02 : Crs::kWgs84, x, y);
    const Fixed at{static_cast<int32_t>(std::lround(x * kMapUnitsPerDegree * kSubUnits)),
                   static_cast<int32_t>(std::lround(y * kMapUnitsPerDegree * kSubUnits))};
    Fixed nearest;
    if (!NearestOnOutline(m_outlines.Source().Merge({m.district}), at, nearest))
        return Json(200, body + "null}");
    m_outlines.ToWgs84(nearest, x, y);
    return Json(200, body + Pair(x, y) + "}");
}

}  // namespace lookupd
