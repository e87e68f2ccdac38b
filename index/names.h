// A district's full name split into its three levels.
#pragma once

#include <string>
#include <string_view>

namespace lookupd {

// UTF-8 texts.
struct Levels {
    std::string province;    // 省, 自治区, 市 (a municipality) or 特别行政区
    std::string prefecture;  // 市, 地区, 自治州, 盟; empty under a municipality, a special region,
                             // and for a county-level unit that the province governs directly
    std::string district;    // empty for a prefecture-level city without districts (东莞市)
};

// Splits a full UTF-8 name such as 河南省郑州市金水区.
Levels SplitFullName(std::string_view full);

}  // namespace lookupd
