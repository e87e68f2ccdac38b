#include "service/answer.h"

#include "index/answer_text.h"
#include "index/crs.h"

#include <limits>

namespace lookupd {

namespace {

// A decimal integer with an optional minus sign, nothing else, within 32 bits.
bool ParseInt32(const std::string& s, long long& v) {
    size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
    if (i == s.size() || s.size() - i > 10)
        return false;
    long long n = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        n = n * 10 + (s[i] - '0');
    }
    v = s[0] == '-' ? -n : n;
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

// The first value given for key (multimap keeps equal keys in the order they came), or null.
const std::string* First(const std::multimap<std::string, std::string>& params, const char* key) {
    auto it = params.lower_bound(key);
    return it != params.end() && it->first == key ? &it->second : nullptr;
}

}  // namespace

Reply Answerer::Answer(const std::multimap<std::string, std::string>& params) const {
    long long v[3] = {0, 0, 0};
    const char* keys[3] = {"x", "y", "radius"};
    for (int k = 0; k < 3; ++k) {
        const std::string* value = First(params, keys[k]);
        if (!value)
            return Reply{400, std::string("400 Bad Request: parameter ") + keys[k] + " is missing"};
        if (!ParseInt32(*value, v[k]))
            return Reply{400,
                         std::string("400 Bad Request: parameter ") + keys[k] + " is not a 32-bit decimal integer"};
    }
    if (v[2] < 0)
        return Reply{400, "400 Bad Request: parameter radius is negative"};
    const std::string* service = First(params, "service");
    if (!service)
        return Reply{400, "400 Bad Request: parameter service is missing"};
    if (*service != "gettext")
        return Reply{400, "400 Bad Request: parameter service must be gettext"};

    Crs crs = Crs::kWgs84;
    if (const std::string* c = First(params, "coordtype"); c && !ParseCrs(*c, crs))
        return Reply{400, std::string("400 Bad Request: parameter coordtype must be one of ") + KnownCrsNames()};

    Match m = m_index.Lookup(v[0], v[1], v[2], crs);
    Reply r{200, ""};
    switch (m.kind) {
        case Match::kInside:
            r.body = m_index.Name(m.district);
            r.code = m_index.Code(m.district);
            break;
        case Match::kNear:
            r.body = NearText(std::string(m_index.Name(m.district)), m.metres);
            r.code = m_index.Code(m.district);
            break;
        case Match::kNone:
            r.body = UnknownText();
            break;
        case Match::kError:
            // A damaged piece: no name rather than a possibly wrong one.
            return Reply{500, "500 Internal Server Error: the district index is damaged (check it with --verify)"};
    }
    if (r.body.size() > kMaxBody)
        r.body.resize(kMaxBody);
    return r;
}

}  // namespace lookupd
