#include "core/String.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

size_t ClampStart(int nStart, size_t length) {
    if (nStart < 0)
        return 0;
    return static_cast<size_t>(nStart) > length ? length : static_cast<size_t>(nStart);
}

int ToPosition(size_t pos) {
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

}  // namespace

int CString::Find(char ch) const {
    return ToPosition(m_str.find(ch));
}

int CString::ReverseFind(char ch) const {
    return ToPosition(m_str.rfind(ch));
}

CString CString::Mid(int nFirst) const {
    return Mid(nFirst, GetLength());
}

CString CString::Mid(int nFirst, int nCount) const {
    size_t first = ClampStart(nFirst, m_str.size());
    size_t count = nCount < 0 ? 0 : static_cast<size_t>(nCount);
    CString result;
    result.m_str = m_str.substr(first, count);
    return result;
}

CString CString::Left(int nCount) const {
    return Mid(0, nCount);
}

void CString::Format(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        m_str.clear();
        return;
    }
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), pszFormat, again);
    va_end(again);
    m_str.assign(buffer.data(), static_cast<size_t>(needed));
}
