#include "places.h"

namespace geocode {

Answer FromMatch(const lookupd::Match& m) {
    Answer a;
    if (m.kind == lookupd::Match::kNone || m.kind == lookupd::Match::kError)
        return a;
    a.kind = m.kind == lookupd::Match::kInside ? Answer::kInside : Answer::kNear;
    a.district = m.district;
    a.hasDistrict = true;
    if (a.kind == Answer::kNear)
        a.metres = lookupd::StatedMetres(m.metres);
    return a;
}

std::string DistrictCode(const lookupd::PlaceIndex& index, uint32_t district) {
    uint32_t code = index.Code(district);
    return code ? std::to_string(code) : std::string();
}

}  // namespace geocode
