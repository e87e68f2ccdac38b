#include "index/gbk.h"

#include <iconv.h>

namespace lookupd {

bool ConvertGbk(std::string_view in, std::string& out, bool toUtf8) {
    out.clear();
    if (in.empty())
        return true;
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
    if (r == static_cast<size_t>(-1) || srcLeft != 0) {
        out.clear();  // no half-converted text for a caller that keeps it
        return false;
    }
    out.resize(out.size() - dstLeft);
    return true;
}

}  // namespace lookupd
