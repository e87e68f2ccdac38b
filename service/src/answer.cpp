#include "answer.h"

#include <iconv.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

namespace lookupd {

bool Utf8ToGbk(const std::string& utf8, std::string& gbk) {
    gbk.clear();
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = &out[0];
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || inLeft != 0)
        return false;
    out.resize(out.size() - outLeft);
    gbk = std::move(out);
    return true;
}

Answerer::Answerer(const PlaceIndex& index) : m_index(index) {
    m_gbkNames.resize(index.DistrictCount());
    for (size_t i = 0; i < index.DistrictCount(); ++i) {
        std::string name(index.Name(static_cast<uint32_t>(i)));
        if (!Utf8ToGbk(name, m_gbkNames[i])) {
            m_error = "district name without a GBK form: " + name;
            return;
        }
    }
    std::string probe;
    if (!Utf8ToGbk(NearText("", 1.0) + UnknownText(), probe))
        m_error = "the answer texts have no GBK form";
}

std::string Answerer::InsideText(const std::string& name) {
    return name;
}

std::string Answerer::NearText(const std::string& name, double metres) {
    char dist[64];
    if (metres < 1000)
        std::snprintf(dist, sizeof dist, "%d米", static_cast<int>(std::lround(metres)));
    else
        std::snprintf(dist, sizeof dist, "%.1f公里", metres / 1000.0);
    return name + "附近(距其边界约" + dist + ")";
}

std::string Answerer::UnknownText() {
    return "未知地点:该位置附近没有已知的区县";
}

Reply Answerer::Gbk(int status, const std::string& utf8) const {
    Reply r{status, ""};
    if (!Utf8ToGbk(utf8, r.body))
        r.body = "?";
    if (r.body.size() > kMaxBody)
        r.body.resize(kMaxBody);
    return r;
}

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

}  // namespace

Reply Answerer::Answer(const std::multimap<std::string, std::string>& params) const {
    long long v[3] = {0, 0, 0};
    const char* keys[3] = {"x", "y", "radius"};
    for (int k = 0; k < 3; ++k) {
        auto it = params.find(keys[k]);
        if (it == params.end())
            return Reply{400, std::string("400 Bad Request: parameter ") + keys[k] + " is missing"};
        if (!ParseInt32(it->second, v[k]))
            return Reply{400,
                         std::string("400 Bad Request: parameter ") + keys[k] + " is not a 32-bit decimal integer"};
    }
    if (v[2] < 0)
        return Reply{400, "400 Bad Request: parameter radius is negative"};
    auto svc = params.find("service");
    if (svc == params.end())
        return Reply{400, "400 Bad Request: parameter service is missing"};
    if (svc->second != "gettext")
        return Reply{400, "400 Bad Request: parameter service must be gettext"};

    Match m = m_index.Lookup(v[0], v[1], v[2]);
    Reply r{200, ""};
    switch (m.kind) {
        case Match::kInside:
            r.body = m_gbkNames[m.district];
            break;
        case Match::kNear: {
            std::string tail;
            Utf8ToGbk(NearText("", m.metres), tail);
            r.body = m_gbkNames[m.district] + tail;
            break;
        }
        case Match::kNone:
            return Gbk(200, UnknownText());
    }
    if (r.body.size() > kMaxBody)
        r.body.resize(kMaxBody);
    return r;
}

}  // namespace lookupd
