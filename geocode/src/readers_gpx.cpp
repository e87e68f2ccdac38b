#include "sources.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "positions.h"

namespace geocode {

namespace {

// GPX through a small streaming reader of XML: tags, attributes, text, comments, CDATA and the
// predefined and numeric entities; enough for every GPX writer, in constant memory.
class GpxSource : public Source {
public:
    explicit GpxSource(ByteInput& in) : m_in(in) {}
    std::vector<std::string> Columns() const override { return {"type", "lon", "lat", "ele", "time", "name"}; }

    bool Next(Record& r) override {
        for (;;) {
            int c = Get();
            if (c < 0)
                return AtEnd(r);
            if (m_capture && c != '<') {
                Append(m_text, 1, static_cast<char>(c));
                continue;
            }
            if (c != '<')
                continue;
            m_tagLine = m_line;
            if (!Tag())
                return AtEnd(r);
            if (m_ready) {
                m_ready = false;
                r = std::move(m_point);
                m_point = Record();
                return true;
            }
        }
    }

private:
    static constexpr size_t kMaxText = 1 << 16;

    int Get() {
        int c = m_in.Get();
        if (c == '\n')
            ++m_line;
        return c;
    }

    // Skips to the end of `close` (at most 3 bytes); false at the end of the input. The last
    // bytes read are compared whole, so that "--->" ends a comment too.
    bool SkipPast(const char* close) {
        const size_t n = std::strlen(close);
        char last[3] = {0, 0, 0};
        for (size_t seen = 1;; ++seen) {
            int c = Get();
            if (c < 0)
                return false;
            last[0] = last[1];
            last[1] = last[2];
            last[2] = static_cast<char>(c);
            if (seen >= n && std::memcmp(last + 3 - n, close, n) == 0)
                return true;
        }
    }

    static std::string Local(const std::string& name) {
        size_t colon = name.find(':');
        return colon == std::string::npos ? name : name.substr(colon + 1);
    }

    // False for what is no character: zero, a surrogate, beyond U+10FFFF.
    static bool PutUtf8(unsigned long cp, std::string& out) {
        if (cp == 0 || (cp >= 0xD800 && cp < 0xE000) || cp >= 0x110000)
            return false;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
        return true;
    }

    static std::string Unescape(const std::string& s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            size_t semi = s[i] == '&' ? s.find(';', i) : std::string::npos;
            if (semi == std::string::npos || semi - i > 10) {
                out += s[i];
                continue;
            }
            std::string e = s.substr(i + 1, semi - i - 1);
            if (e == "lt")
                out += '<';
            else if (e == "gt")
                out += '>';
            else if (e == "amp")
                out += '&';
            else if (e == "quot")
                out += '"';
            else if (e == "apos")
                out += '\'';
            else if (e.size() < 2 || e[0] != '#' || !PutUtf8(Number(e), out)) {
                out += s[i];
                continue;
            }
            i = semi;
        }
        return out;
    }

    // The code point of "#123" or "#x1F600"; 0 (no character) for anything else.
    static unsigned long Number(const std::string& e) {
        const bool hex = e[1] == 'x';
        const char* digits = e.c_str() + (hex ? 2 : 1);
        if (*digits == '\0' ||
            std::strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789") != std::strlen(digits))
            return 0;
        return std::strtoul(digits, nullptr, hex ? 16 : 10);
    }

    // One markup construct after its '<'; false when the input ends inside it.
    bool Tag() {
        int c = m_in.Peek();
        if (c == '?')
            return SkipPast("?>");
        if (c == '!') {
            Get();
            if (m_in.Peek() == '-')
                return SkipPast("-->");
            std::string head;
            while (head.size() < 7 && m_in.Peek() >= 0 && m_in.Peek() != '>')
                head += static_cast<char>(Get());
            if (head == "[CDATA[") {
                std::string text;
                bool ok = SkipCdata(text);
                if (m_capture)
                    Append(m_text, Escape(text));
                return ok;
            }
            return SkipPast(">");  // a document type
        }
        bool closing = c == '/';
        if (closing)
            Get();
        std::string name;
        std::vector<std::pair<std::string, std::string>> attrs;
        bool selfClosing = false;
        // Name, then attributes up to '>' or "/>".
        while ((c = Get()) >= 0 && c != '>' && c != '/' && c != ' ' && c != '\t' && c != '\n' && c != '\r')
            if (name.size() < 256)
                name += static_cast<char>(c);
        for (;;) {
            if (c < 0)
                return false;
            if (c == '>')
                break;
            if (c == '/') {
                selfClosing = true;
                c = Get();
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                c = Get();
                continue;
            }
            std::string key(1, static_cast<char>(c));
            while ((c = Get()) >= 0 && c != '=' && c != '>' && c != ' ' && c != '/')
                if (key.size() < 256)
                    key += static_cast<char>(c);
            while (c == ' ')
                c = Get();
            if (c != '=') {
                attrs.emplace_back(key, std::string("\x01"));  // not key="value"
                continue;
            }
            while ((c = Get()) == ' ' || c == '\t' || c == '\n' || c == '\r') {
            }
            if (c != '"' && c != '\'') {
                attrs.emplace_back(key, std::string("\x01"));
                continue;
            }
            int quote = c;
            std::string value;
            while ((c = Get()) >= 0 && c != quote)
                if (value.size() < 256)
                    value += static_cast<char>(c);
            if (c < 0)
                return false;
            attrs.emplace_back(key, Unescape(value));
            c = Get();
        }
        std::string local = Local(name);
        if (closing)
            End(local);
        else
            Begin(local, attrs, selfClosing);
        return true;
    }

    // The section's text up to "]]>"; past kMaxText only its start is kept, as for plain text.
    bool SkipCdata(std::string& text) {
        size_t held = 0;  // ']' read and not yet taken as text: they may start "]]>"
        for (;;) {
            int c = Get();
            if (c < 0)
                return false;
            if (c == ']') {
                ++held;
                continue;
            }
            if (c == '>' && held >= 2) {
                Append(text, held - 2, ']');
                return true;
            }
            Append(text, held, ']');
            held = 0;
            Append(text, 1, static_cast<char>(c));
        }
    }

    // Text is kept up to kMaxText bytes: the rest of a longer one is read and left out.
    static void Append(std::string& text, size_t count, char c) {
        text.append(std::min(count, kMaxText - std::min(text.size(), kMaxText)), c);
    }
    static void Append(std::string& text, const std::string& more) {
        text.append(more, 0, kMaxText - std::min(text.size(), kMaxText));
    }

    static std::string Escape(const std::string& s) {
        std::string out;
        for (char c : s)
            out += c == '&' ? std::string("&amp;") : std::string(1, c);
        return out;
    }

    void Begin(const std::string& name, const std::vector<std::pair<std::string, std::string>>& attrs, bool empty) {
        if (name == "gpx")
            m_sawRoot = true;
        if (!m_inPoint && (name == "wpt" || name == "trkpt" || name == "rtept")) {
            m_inPoint = true;
            m_point = Record();
            m_point.line = m_tagLine;
            m_depth = 0;
            m_point.cells = {name, "", "", "", "", ""};
            m_point.exact = true;
            m_pointName = name;
            bool hasLat = false, hasLon = false;
            for (auto& [k, v] : attrs) {
                if (k == "lat" || k == "lon") {
                    (k == "lat" ? hasLat : hasLon) = true;
                    m_point.cells[k == "lon" ? 1 : 2] = v == "\x01" ? "" : v;
                    int32_t& units = k == "lon" ? m_point.x : m_point.y;
                    if (m_point.error.empty() && (v == "\x01" || !ExactDegrees(Trim(v), units)))
                        m_point.error = k + (v == "\x01" ? std::string(" is not written as lat=\"...\"")
                                                         : " '" + v + "' is not a decimal number");
                }
            }
            if (m_point.error.empty() && (!hasLat || !hasLon))
                m_point.error = "<" + name + "> without " + (hasLat ? "lon" : "lat");
            if (empty)
                Finish();
            return;
        }
        if (!m_inPoint || empty)
            return;
        // The point's own fields only: an extension may hold a <name> or <time> of its own.
        if (m_depth == 0 && (name == "ele" || name == "time" || name == "name")) {
            m_capture = true;
            m_field = name;
            m_text.clear();
        }
        ++m_depth;
    }

    void End(const std::string& name) {
        if (name == "gpx")
            m_sawEnd = true;
        if (!m_inPoint)
            return;
        if (name == m_pointName) {
            Finish();
            return;
        }
        if (m_depth > 0)
            --m_depth;
        if (m_capture && m_depth == 0 && name == m_field) {
            m_capture = false;
            int col = name == "ele" ? 3 : name == "time" ? 4 : 5;
            m_point.cells[col] = std::string(Trim(Unescape(m_text)));
        }
    }

    void Finish() {
        m_inPoint = false;
        m_capture = false;
        m_ready = true;
    }

    bool AtEnd(Record& r) {
        if (m_done)
            return false;
        m_done = true;
        if (m_in.Failed())
            return false;
        if (m_inPoint) {
            r = std::move(m_point);
            r.error = "truncated GPX: <" + m_pointName + "> from line " + std::to_string(r.line) +
                      " is not closed at the end of the input";
            return true;
        }
        if (m_sawRoot && m_sawEnd)
            return false;
        r = Record();
        r.line = m_line;
        r.noRow = true;
        r.error = m_sawRoot ? "truncated GPX: the input ends before </gpx>" : "not a GPX file (no <gpx> element)";
        return true;
    }

    ByteInput& m_in;
    uint64_t m_line = 1, m_tagLine = 1;
    size_t m_depth = 0;  // elements open inside the point
    Record m_point;
    std::string m_pointName, m_field, m_text;
    bool m_inPoint = false, m_capture = false, m_ready = false, m_sawRoot = false, m_sawEnd = false, m_done = false;
};

}  // namespace

std::unique_ptr<Source> MakeGpxSource(ByteInput& in) {
    return std::make_unique<GpxSource>(in);
}

}  // namespace geocode
