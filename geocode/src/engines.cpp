#include "engines.h"

#include <cstdio>

namespace geocode {

namespace {

// The radius the program asks with: 6000 map units, a sixtieth of a degree.
constexpr int64_t kNearRadius = 6000;

}  // namespace

bool LocalEngine::Ask(MapPoint p, const Named*& named, long& metres, std::string& fatal) {
    const lookupd::Match m = m_index.Lookup(p.x, p.y, kNearRadius);
    if (m.kind == lookupd::Match::kError) {
        // No name is better than a wrong one, and the rest of the run would meet the same file.
        fatal = "the index is damaged where this point lies (lumeno-lookupd --verify checks the whole file)";
        return false;
    }
    const Answer a = FromMatch(m);
    named = a.kind == Answer::kNone ? nullptr : &m_names[a.district];
    metres = a.metres;
    return true;
}

bool RemoteEngine::Ask(MapPoint p, const Named*& named, long& metres, std::string& fatal) {
    char target[128];
    std::snprintf(target, sizeof target, "/GetTextByPos?x=%d&y=%d&radius=%d&service=gettext", static_cast<int>(p.x),
                  static_cast<int>(p.y), static_cast<int>(kNearRadius));
    int status = 0;
    std::string body, code;
    if (!m_client.Get(target, status, body, code, fatal))
        return false;
    Answer a;
    if (status != 200 || !FromServiceText(body, a)) {
        fatal =
            "the service answered " + std::to_string(status) + " with a text that is no place: " + body.substr(0, 80);
        return false;
    }
    metres = a.metres;
    if (a.kind == Answer::kNone) {
        named = nullptr;
        return true;
    }
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
    named = &it->second;
    return true;
}

}  // namespace geocode
