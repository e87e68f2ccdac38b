// A district's full name split into its three levels, and every district's names in UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "index/place_index.h"

namespace lookupd {

// UTF-8 texts.
struct Levels {
    std::string province;    // 省, 自治区, 市 (a municipality) or 特别行政区
    std::string prefecture;  // 市, 地区, 自治州, 盟; empty under a municipality, a special region,
                             // and for a county-level unit that the province governs directly
    std::string district;    // empty for a prefecture-level city without districts (东莞市)
};

// Splits a full UTF-8 name such as 河南省郑州市金水区.
Levels SplitFullName(std::string_view full);

// The ISO 3166-2 code of a province-level division by its UTF-8 name (CN-HA for 河南省); empty
// for a name that is none.
const char* ProvinceIsoCode(std::string_view province);

// A district's names as the front ends that answer in UTF-8 give them.
struct DistrictName {
    std::string full;  // UTF-8; empty (and no levels) for a name that is not GBK
    Levels levels;
    std::string code;  // the 6-digit division code, empty where the index has none
};

// Every district's, by district number: made once per loaded index (a few milliseconds).
std::vector<DistrictName> DistrictNames(const PlaceIndex& index);

}  // namespace lookupd
