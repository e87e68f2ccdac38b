#include "index/gbk.h"

namespace lookupd {

bool GbkToUtf8(std::string_view gbk, std::string& utf8) {
    return ConvertGbk(gbk, utf8, true);
}

bool Utf8ToGbk(std::string_view utf8, std::string& gbk) {
    return ConvertGbk(utf8, gbk, false);
}

bool InGb2312(std::string_view gbk) {
    // GB2312's characters are GBK's two-byte codes whose bytes both lie in A1-FE, with no
    // character beyond row F7.
    for (size_t i = 0; i < gbk.size(); ++i) {
        unsigned char lead = static_cast<unsigned char>(gbk[i]);
        if (lead < 0x80)
            continue;
        if (i + 1 == gbk.size())
            return false;
        unsigned char trail = static_cast<unsigned char>(gbk[++i]);
        if (lead < 0xA1 || lead > 0xF7 || trail < 0xA1 || trail > 0xFE)
            return false;
    }
    return true;
}

}  // namespace lookupd
