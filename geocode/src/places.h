// A point's answer, in process or from the service's text, and its district's code.
#pragma once

#include <cstdint>
#include <string>

#include "index/answer_text.h"
#include "index/gbk.h"
#include "index/names.h"
#include "index/place_index.h"

namespace geocode {

using lookupd::GbkToUtf8;
using lookupd::Levels;
using lookupd::SplitFullName;
using lookupd::Utf8ToGbk;

// What a point got: a district it lies in, one near it, or none. The name is the service's
// (GBK); an in-process answer gives the district by number and leaves the name empty, since
// a run looks the names up once, not per point.
struct Answer : lookupd::AnswerText {
    uint32_t district = 0;  // in-process answers only
    bool hasDistrict = false;
};

// The in-process answer, with the distance rounded as the service's text states it.
// A damaged index's kError is no answer; the caller must not take it for one.
Answer FromMatch(const lookupd::Match& m);

// The 6-digit division code of an in-process answer's district; empty where the index has
// none (Taiwan, Hong Kong, Macau). Through the service it comes as X-District-Code.
std::string DistrictCode(const lookupd::PlaceIndex& index, uint32_t district);

}  // namespace geocode
