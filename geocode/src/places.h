// A district's full name split into its three levels, the service's answer texts read back,
// and the text encodings the output is written in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "place_index.h"

namespace geocode {

// UTF-8 texts.
struct Levels {
    std::string province;    // 省, 自治区, 市 (a municipality) or 特别行政区
    std::string prefecture;  // 市, 地区, 自治州, 盟; empty under a municipality, a special region,
                             // and for a county-level unit that the province governs directly
    std::string district;    // empty for a prefecture-level city without districts (东莞市)
};

// Splits a full UTF-8 name such as 河南省郑州市金水区.
Levels SplitFullName(std::string_view full);

// What a point got: a district it lies in, one near it, or none.
struct Answer {
    enum Kind { kNone, kInside, kNear } kind = kNone;
    std::string name;       // the full name, GBK, as the index and the service hold it
    long metres = -1;       // kNear: distance to the district, rounded as the service's text says it
    uint32_t district = 0;  // in-process answers only
    bool hasDistrict = false;
};

// The in-process answer, with the distance rounded as the service writes it. It gives the
// district by number and leaves the name empty: a run looks the names up once, not per point.
// A damaged index's kError is no answer; the caller must not take it for one.
Answer FromMatch(const lookupd::Match& m);

// The service's answer text (GBK) read back; false for a text that is none of its forms.
bool FromServiceText(const std::string& gbk, Answer& out);

// The 6-digit division code of an in-process answer's district; empty where the index has
// none (Taiwan, Hong Kong, Macau). Through the service it comes as X-District-Code.
std::string DistrictCode(const lookupd::PlaceIndex& index, uint32_t district);

// Conversions between GBK (the index's names, code page 936) and UTF-8. False when a character
// has no form in the target.
bool GbkToUtf8(std::string_view gbk, std::string& utf8);
bool Utf8ToGbk(std::string_view utf8, std::string& gbk);

}  // namespace geocode
