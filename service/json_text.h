// JSON text written by hand, shared by the routes that answer in JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace lookupd {

// s (UTF-8) as a JSON string: quotes, backslashes and control bytes escaped.
inline void PutJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace lookupd
