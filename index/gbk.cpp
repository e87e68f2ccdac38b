#include "index/gbk.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace lookupd {

namespace {

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
    if (r == static_cast<size_t>(-1) || srcLeft != 0) {
        out.clear();  // no half-converted text for a caller that keeps it
        return false;
    }
    out.resize(out.size() - dstLeft);
    return true;
#endif
}

}  // namespace

bool GbkToUtf8(std::string_view gbk, std::string& utf8) {
    return Convert(gbk, utf8, true);
}

bool Utf8ToGbk(std::string_view utf8, std::string& gbk) {
    return Convert(utf8, gbk, false);
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
