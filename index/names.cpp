#include "index/names.h"

#include <cstring>

#include "index/gbk.h"

namespace lookupd {

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

// Their ISO 3166-2 codes, in the same order.
const char* const kProvinceIso[] = {
    "CN-HE", "CN-SX", "CN-LN", "CN-JL", "CN-HL", "CN-JS", "CN-ZJ", "CN-AH", "CN-FJ", "CN-JX", "CN-SD", "CN-HA",
    "CN-HB", "CN-HN", "CN-GD", "CN-HI", "CN-SC", "CN-GZ", "CN-YN", "CN-SN", "CN-GS", "CN-QH", "CN-TW", "CN-NM",
    "CN-GX", "CN-XZ", "CN-NX", "CN-XJ", "CN-HK", "CN-MO", "CN-BJ", "CN-TJ", "CN-SH", "CN-CQ",
};
static_assert(sizeof kProvinceIso == sizeof kProvinces, "one code per province");

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

const char* ProvinceIsoCode(std::string_view province) {
    for (size_t i = 0; i < sizeof kProvinces / sizeof kProvinces[0]; ++i)
        if (province == kProvinces[i])
            return kProvinceIso[i];
    return "";
}

std::vector<DistrictName> DistrictNames(const PlaceIndex& index) {
    std::vector<DistrictName> names(index.DistrictCount());
    for (size_t d = 0; d < names.size(); ++d) {
        DistrictName& n = names[d];
        if (GbkToUtf8(index.Name(static_cast<uint32_t>(d)), n.full))
            n.levels = SplitFullName(n.full);
        else
            n.full.clear();
        if (uint32_t code = index.Code(static_cast<uint32_t>(d)))
            n.code = std::to_string(code);
    }
    return names;
}

}  // namespace lookupd
