// CString: a byte string in the system's ANSI code page (GBK for our Chinese
// texts), with value semantics. Searches work byte by byte: in GBK the ASCII
// marks we look for never occur inside a double-byte character.
#pragma once

#include <string>

class CString {
public:
    CString() = default;
    CString(const char* psz) : m_str(psz ? psz : "") {}  // NOLINT: implicit like the classic class
    CString(const char* pch, int nLength) : m_str(pch, nLength > 0 ? static_cast<size_t>(nLength) : 0) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    operator const char*() const { return m_str.c_str(); }  // NOLINT: LPCTSTR conversion
    const char* GetString() const { return m_str.c_str(); }

    // Byte positions, 0-based; -1 when absent. A negative start counts as 0.
    int Find(char ch) const;
    int ReverseFind(char ch) const;

    // Substrings clamp instead of failing: a negative start or count counts as
    // 0, a count that runs past the end stops at the end, and a start past
    // the end gives an empty string.
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Left(int nCount) const;

    // printf-style formatting into this string.
    void Format(const char* pszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    friend CString operator+(CString lhs, const CString& rhs) {
        lhs.m_str += rhs.m_str;
        return lhs;
    }
    friend bool operator==(const CString& a, const CString& b) {
        return a.m_str == b.m_str;
    }
    friend bool operator==(const CString& a, const char* b) {
        return a.m_str == (b ? b : "");
    }

private:
    std::string m_str;
};
