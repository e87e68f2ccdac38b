#include "output.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace geocode {

bool Encode(const Levels& l, bool gbk, Named& out) {
    out = Named();
    if (!gbk) {
        out.province = l.province;
        out.prefecture = l.prefecture;
        out.district = l.district;
        return true;
    }
    return Utf8ToGbk(l.province, out.province) && Utf8ToGbk(l.prefecture, out.prefecture) &&
           Utf8ToGbk(l.district, out.district);
}

void PutCell(std::string& out, std::string_view cell, char delim) {
    if (cell.find_first_of(std::string("\"\r\n") + delim) == std::string_view::npos) {
        out.append(cell);
        return;
    }
    out += '"';
    for (char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void PutJson(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void PutRow(std::string& out, const Record& r, const Named* named, long metres, const RowFormat& f) {
    static const Named kEmpty;
    const Named& n = named ? *named : kEmpty;
    std::string distance = metres >= 0 ? std::to_string(metres) : std::string();
    if (f.jsonLines) {
        out += "{\"line\":" + std::to_string(r.line) + ",\"input\":{";
        const std::vector<std::string>& cols = f.columns;
        std::vector<std::string> cells;
        if (!r.raw.empty() || r.cells.empty())
            SplitDelimited(r.raw, f.delim, cells);
        const std::vector<std::string>& values = r.cells.empty() ? cells : r.cells;
        for (size_t c = 0; c < values.size(); ++c) {
            if (c)
                out += ',';
            PutJson(out, c < cols.size() ? cols[c] : "column" + std::to_string(c + 1));
            out += ':';
            PutJson(out, values[c]);
        }
        out += "},\"province\":";
        PutJson(out, n.province);
        out += ",\"prefecture\":";
        PutJson(out, n.prefecture);
        out += ",\"district\":";
        PutJson(out, n.district);
        out += ",\"code\":";
        PutJson(out, n.code);
        out += ",\"distance_m\":" + (distance.empty() ? std::string("null") : distance) + ",\"error\":";
        if (r.error.empty())
            out += "null";
        else
            PutJson(out, r.error);
        out += "}\n";
        return;
    }
    if (r.cells.empty()) {
        out += r.raw;
    } else {
        for (size_t c = 0; c < r.cells.size(); ++c) {
            if (c)
                out += f.delim;
            PutCell(out, r.cells[c], f.delim);
        }
    }
    for (const std::string* cell :
         std::initializer_list<const std::string*>{&n.province, &n.prefecture, &n.district, &n.code, &distance}) {
        out += f.delim;
        out += *cell;
    }
    out += f.delim;
    PutCell(out, r.error, f.delim);
    out += '\n';
}

void Progress::Update(uint64_t bytes, uint64_t points, bool force) {
    if (!m_on)
        return;
    auto now = Clock::now();
    if (!force && now - m_last < std::chrono::milliseconds(200))
        return;
    m_last = now;
    double secs = std::chrono::duration<double>(now - m_start).count();
    double rate = secs > 0 ? points / secs : 0;
    char line[160];
    if (m_total > 0) {
        double share = std::min(1.0, static_cast<double>(bytes) / m_total);
        int filled = static_cast<int>(share * 20);
        double left = share > 0 ? secs / share - secs : 0;
        std::snprintf(line, sizeof line, "\r[%-20.*s] %3d%% %.1f/%.1f MB %llu points %.0f points/s %d:%02d left",
                      filled, "####################", static_cast<int>(share * 100), bytes / 1e6, m_total / 1e6,
                      static_cast<unsigned long long>(points), rate, static_cast<int>(left) / 60,
                      static_cast<int>(left) % 60);
    } else {
        std::snprintf(line, sizeof line, "\r%.1f MB %llu points %.0f points/s", bytes / 1e6,
                      static_cast<unsigned long long>(points), rate);
    }
    std::fprintf(stderr, "%s\x1b[K", line);
    std::fflush(stderr);
    m_shown = true;
}

void Progress::Clear() {
    if (m_shown)
        std::fprintf(stderr, "\r\x1b[K");
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(2) != 0;
#endif
}

}  // namespace geocode
