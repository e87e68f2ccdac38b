#include "places.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "answer.h"

namespace geocode {

namespace {

// The province-level divisions as the index's names begin; from kFirstDirect on, they govern
// their districts without prefectures.
const char* const kProvinces[] = {
    u8"河北省",     u8"山西省",         u8"辽宁省",           u8"吉林省",         u8"黑龙江省",
    u8"江苏省",     u8"浙江省",         u8"安徽省",           u8"福建省",         u8"江西省",
    u8"山东省",     u8"河南省",         u8"湖北省",           u8"湖南省",         u8"广东省",
    u8"海南省",     u8"四川省",         u8"贵州省",           u8"云南省",         u8"陕西省",
    u8"甘肃省",     u8"青海省",         u8"台湾省",           u8"内蒙古自治区",   u8"广西壮族自治区",
    u8"西藏自治区", u8"宁夏回族自治区", u8"新疆维吾尔自治区", u8"香港特别行政区", u8"澳门特别行政区",
    u8"北京市",     u8"天津市",         u8"上海市",           u8"重庆市",
};

constexpr size_t kFirstDirect = 28;

// County-level units that their province governs without a prefecture between.
const char* const kDirectCounties[] = {
    u8"济源市",
    u8"仙桃市",
    u8"潜江市",
    u8"天门市",
    u8"神农架林区",
    u8"五指山市",
    u8"琼海市",
    u8"文昌市",
    u8"万宁市",
    u8"东方市",
    u8"定安县",
    u8"屯昌县",
    u8"澄迈县",
    u8"临高县",
    u8"白沙黎族自治县",
    u8"昌江黎族自治县",
    u8"乐东黎族自治县",
    u8"陵水黎族自治县",
    u8"保亭黎族苗族自治县",
    u8"琼中黎族苗族自治县",
    u8"石河子市",
    u8"阿拉尔市",
    u8"图木舒克市",
    u8"五家渠市",
    u8"北屯市",
    u8"铁门关市",
    u8"双河市",
    u8"可克达拉市",
    u8"昆玉市",
    u8"胡杨河市",
    u8"新星市",
    u8"白杨市",
};

// Endings of a prefecture-level name, the forms the index's converter writes.
const char* const kPrefectureEnds[] = {u8"自治州", u8"地区", u8"林区", u8"群岛", u8"市", u8"盟", u8"县", u8"縣"};

bool StartsWith(std::string_view s, std::string_view head) {
    return s.substr(0, head.size()) == head;
}

bool Convert(std::string_view in, std::string& out, bool toUtf8) {
    out.clear();
    if (in.empty())
        return true;
#ifdef _WIN32
    UINT from = toUtf8 ? 936 : CP_UTF8, to = toUtf8 ? CP_UTF8 : 936;
    int n = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0)
        return false;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), &wide[0], n);
    BOOL lost = FALSE;
    int m = WideCharToMultiByte(to, 0, wide.data(), n, nullptr, 0, nullptr, to == CP_UTF8 ? nullptr : &lost);
    if (m <= 0 || lost)
        return false;
    out.resize(static_cast<size_t>(m));
    WideCharToMultiByte(to, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return true;
#else
    iconv_t cd = iconv_open(toUtf8 ? "UTF-8" : "GBK", toUtf8 ? "GBK" : "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.resize(in.size() * 2 + 4);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = &out[0];
    size_t dstLeft = out.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || srcLeft != 0)
        return false;
    out.resize(out.size() - dstLeft);
    return true;
#endif
}

// The metres that the service's near text states: whole metres below a kilometre, else
// kilometres to one decimal. Read back from the same formatting, so both paths agree.
long StatedMetres(double metres) {
    std::string text = lookupd::Answerer::NearText("", metres);
    Answer a;
    return FromServiceText(text, a) ? a.metres : -1;
}

// 附近(距其边界约 in GBK.
const char kNearMark[] = "\xB8\xBD\xBD\xFC(\xBE\xE0\xC6\xE4\xB1\xDF\xBD\xE7\xD4\xBC";
const char kMetreUnit[] = "\xC3\xD7";       // 米
const char kKmUnit[] = "\xB9\xAB\xC0\xEF";  // 公里

}  // namespace

Levels SplitFullName(std::string_view full) {
    Levels l;
    for (const char* const& p : kProvinces) {
        if (!StartsWith(full, p))
            continue;
        l.province = p;
        std::string_view rest = full.substr(l.province.size());
        // The municipalities and the special regions govern their districts directly.
        if (rest.empty() || &p >= &kProvinces[kFirstDirect]) {
            l.district = std::string(rest);
            return l;
        }
        for (const char* d : kDirectCounties)
            if (rest == d) {
                l.district = std::string(rest);
                return l;
            }
        // The prefecture ends at the first of its endings.
        size_t best = std::string_view::npos, len = 0;
        for (const char* e : kPrefectureEnds) {
            size_t at = rest.find(e);
            if (at != std::string_view::npos && (best == std::string_view::npos || at < best)) {
                best = at;
                len = std::strlen(e);
            }
        }
        if (best == std::string_view::npos) {
            l.district = std::string(rest);
            return l;
        }
        l.prefecture = std::string(rest.substr(0, best + len));
        l.district = std::string(rest.substr(best + len));
        return l;
    }
    l.district = std::string(full);  // not a name of ours: kept whole rather than cut wrongly
    return l;
}

Answer FromMatch(const lookupd::Match& m) {
    Answer a;
    if (m.kind == lookupd::Match::kNone || m.kind == lookupd::Match::kError)
        return a;
    a.kind = m.kind == lookupd::Match::kInside ? Answer::kInside : Answer::kNear;
    a.district = m.district;
    a.hasDistrict = true;
    if (a.kind == Answer::kNear)
        a.metres = StatedMetres(m.metres);
    return a;
}

bool FromServiceText(const std::string& gbk, Answer& out) {
    out = Answer();
    if (gbk == lookupd::Answerer::UnknownText())
        return true;
    size_t at = gbk.find(kNearMark);
    if (at == std::string::npos) {
        if (gbk.empty())
            return false;
        out.kind = Answer::kInside;
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
    out.kind = Answer::kNear;
    out.name = gbk.substr(0, at);
    out.metres = km ? std::lround(v * 1000.0) : std::lround(v);
    return true;
}

std::string DistrictCode(const lookupd::PlaceIndex& index, uint32_t district) {
    uint32_t code = index.Code(district);
    return code ? std::to_string(code) : std::string();
}

bool GbkToUtf8(std::string_view gbk, std::string& utf8) {
    return Convert(gbk, utf8, true);
}

bool Utf8ToGbk(std::string_view utf8, std::string& gbk) {
    return Convert(utf8, gbk, false);
}

}  // namespace geocode
