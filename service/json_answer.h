// The reverse-geocoding JSON that geocoding clients already speak: /reverse?lat=&lon= answered in
// the shapes Nominatim gives (json, jsonv2, geojson, geocodejson), in UTF-8, from the index.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "index/names.h"
#include "index/place_index.h"

namespace lookupd {

struct JsonReply {
    int status;
    std::string body;  // UTF-8 JSON
};

class JsonAnswerer {
public:
    explicit JsonAnswerer(const PlaceIndex& index) : m_index(index) {}

    // params: the decoded query parameters (first value of each key counts). A position with
    // no district within the radius is 200 {"error":"Unable to geocode"}, as Nominatim answers;
    // a malformed parameter is 400 with a JSON error that names it.
    JsonReply Answer(const std::multimap<std::string, std::string>& params) const;

private:
    // The districts' UTF-8 names, made at the first JSON request: the window's route and the
    // service's start need none of them.
    const std::vector<DistrictName>& Names() const;

    const PlaceIndex& m_index;
    mutable std::once_flag m_namesOnce;
    mutable std::vector<DistrictName> m_names;
};

}  // namespace lookupd
