#include "index/answer_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lookupd {

// The texts are written as GBK bytes, the program's encoding, so that no compiler setting or
// conversion at run time stands between them and the program.
namespace {

const char kNearMark[] = "\xB8\xBD\xBD\xFC(\xBE\xE0\xC6\xE4\xB1\xDF\xBD\xE7\xD4\xBC";  // 附近(距其边界约
const char kMetreUnit[] = "\xC3\xD7";                                                  // 米
const char kKmUnit[] = "\xB9\xAB\xC0\xEF";                                             // 公里

}  // namespace

std::string NearText(std::string_view name, double metres) {
    char dist[64];
    if (metres < 1000)
        std::snprintf(dist, sizeof dist, "%d%s", static_cast<int>(std::lround(metres)), kMetreUnit);
    else
        std::snprintf(dist, sizeof dist, "%.1f%s", metres / 1000.0, kKmUnit);
    return std::string(name) + kNearMark + dist + ")";
}

std::string UnknownText() {
    // 未知地点:该位置附近没有已知的区县
    return "\xCE\xB4\xD6\xAA\xB5\xD8\xB5\xE3:\xB8\xC3\xCE\xBB\xD6\xC3\xB8\xBD\xBD\xFC\xC3\xBB\xD3\xD0\xD2\xD1"
           "\xD6\xAA\xB5\xC4\xC7\xF8\xCF\xD8";
}

bool ReadAnswerText(const std::string& gbk, AnswerText& out) {
    out = AnswerText();
    if (gbk == UnknownText())
        return true;
    size_t at = gbk.find(kNearMark);
    if (at == std::string::npos) {
        if (gbk.empty())
            return false;
        out.kind = AnswerText::kInside;
        out.name = gbk;
        return true;
    }
    std::string dist = gbk.substr(at + std::strlen(kNearMark));
    if (dist.empty() || dist.back() != ')')
        return false;
    dist.pop_back();
    bool km = dist.size() > 4 && dist.compare(dist.size() - 4, 4, kKmUnit) == 0;
    bool m = dist.size() > 2 && dist.compare(dist.size() - 2, 2, kMetreUnit) == 0;
    if (!km && !m)
        return false;
    dist.resize(dist.size() - (km ? 4 : 2));
    char* end = nullptr;
    double v = std::strtod(dist.c_str(), &end);
    if (dist.empty() || *end != '\0' || !(v >= 0))
        return false;
    out.kind = AnswerText::kNear;
    out.name = gbk.substr(0, at);
    out.metres = km ? std::lround(v * 1000.0) : std::lround(v);
    return true;
}

long StatedMetres(double metres) {
    AnswerText a;
    return ReadAnswerText(NearText("", metres), a) ? a.metres : -1;
}

}  // namespace lookupd
