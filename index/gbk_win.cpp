#include "index/gbk.h"

#include <windows.h>

namespace lookupd {

bool ConvertGbk(std::string_view in, std::string& out, bool toUtf8) {
    out.clear();
    if (in.empty())
        return true;
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
}

}  // namespace lookupd
