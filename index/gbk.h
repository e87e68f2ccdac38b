// The one conversion between GBK (code page 936: the index's names, the window's texts) and
// UTF-8: iconv's on POSIX systems (gbk_posix.cpp), Windows' own code pages there (gbk_win.cpp).
#pragma once

#include <string>
#include <string_view>

namespace lookupd {

// False when a character has no form in the target or the input is not valid in its source.
bool GbkToUtf8(std::string_view gbk, std::string& utf8);
bool Utf8ToGbk(std::string_view utf8, std::string& gbk);

// For a report or a console: the text in UTF-8, or as it was where it is not GBK.
inline std::string GbkToUtf8OrAsIs(std::string_view gbk) {
    std::string utf8;
    return GbkToUtf8(gbk, utf8) ? utf8 : std::string(gbk);
}

// The platform's conversion behind both: out is cleared first and holds nothing on failure.
bool ConvertGbk(std::string_view in, std::string& out, bool toUtf8);

// True when every character of a GBK text lies in its GB2312 part, the simplified set.
bool InGb2312(std::string_view gbk);

}  // namespace lookupd
