#include "engines.h"

#include <cstdio>

namespace geocode {

namespace {

// The radius the program asks with: 6000 map units, a sixtieth of a degree.
constexpr int64_t kNearRadius = 6000;

}  // namespace

bool LocalEngine::Take(const lookupd::Match& m, Asked& out, std::string& fatal) const {
    if (m.kind == lookupd::Match::kError) {
        // No name is better than a wrong one, and the rest of the run would meet the same file.
        fatal = "the index is damaged where this point lies (lumeno-lookupd --verify checks the whole file)";
        return false;
    }
    const Answer a = FromMatch(m);
    out.named = a.kind == Answer::kNone ? nullptr : &m_names[a.district];
    out.metres = a.metres;
    return true;
}

bool LocalEngine::AskAll(const std::vector<MapPoint>& points,
                         std::vector<Asked>& out,
                         size_t& done,
                         std::string& fatal) {
    m_queries.resize(points.size());
    for (size_t i = 0; i < points.size(); ++i)
        m_queries[i] = {points[i].x, points[i].y};
    m_matches.resize(points.size());
    m_index.LookupMany(m_queries.data(), m_queries.size(), kNearRadius, m_matches.data(), m_crs);
    out.resize(points.size());
    for (done = 0; done < points.size(); ++done)
        if (!Take(m_matches[done], out[done], fatal))
            return false;
    return true;
}

bool RemoteEngine::AskAll(const std::vector<MapPoint>& points,
                          std::vector<Asked>& out,
                          size_t& done,
                          std::string& fatal) {
    out.resize(points.size());
    for (done = 0; done < points.size(); ++done)
        if (!Ask(points[done], out[done], fatal))
            return false;
    return true;
}

bool RemoteEngine::Ask(MapPoint p, Asked& out, std::string& fatal) {
    // A WGS-84 request is the window's own, with no coordtype.
    char target[160];
    std::snprintf(target, sizeof target, "/GetTextByPos?x=%d&y=%d&radius=%d&service=gettext%s%s", static_cast<int>(p.x),
                  static_cast<int>(p.y), static_cast<int>(kNearRadius),
                  m_crs == lookupd::Crs::kWgs84 ? "" : "&coordtype=",
                  m_crs == lookupd::Crs::kWgs84 ? "" : lookupd::CrsName(m_crs));
    int status = 0;
    std::string body, code;
    if (!m_client.Get(target, status, body, code, fatal))
        return false;
    Answer a;
    if (status != 200 || !lookupd::ReadAnswerText(body, a)) {
        fatal =
            "the service answered " + std::to_string(status) + " with a text that is no place: " + body.substr(0, 80);
        return false;
    }
    out.metres = a.metres;
    out.named = nullptr;
    if (a.kind == Answer::kNone)
        return true;
    auto it = m_cache.find(a.name);
    if (it == m_cache.end()) {
        std::string utf8;
        Named n;
        if (!GbkToUtf8(a.name, utf8) || !Encode(SplitFullName(utf8), m_gbk, n)) {
            fatal = "the service's answer is not GBK text";
            return false;
        }
        n.code = code;
        it = m_cache.emplace(a.name, std::move(n)).first;
    }
    out.named = &it->second;
    return true;
}

}  // namespace geocode
