#include "output.h"

#include "index/geo.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>

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

namespace {

const char* const kAnswerKeys[] = {"line", "province", "prefecture", "district", "code", "distance_m", "error"};

// The input's cells by column name, as JSON members; a cell whose column bears one of the
// answer's names is kept under "input.NAME" where the answer's members sit beside it.
void PutInputMembers(std::string& out, const Record& r, const RowFormat& f, bool besideAnswer) {
    std::vector<std::string> cells;
    if (!r.raw.empty() || r.cells.empty())
        SplitDelimited(r.raw, f.delim, cells);
    const std::vector<std::string>& values = r.cells.empty() ? cells : r.cells;
    for (size_t c = 0; c < values.size(); ++c) {
        if (c)
            out += ',';
        std::string key = c < f.columns.size() ? f.columns[c] : "column" + std::to_string(c + 1);
        if (besideAnswer && std::find(std::begin(kAnswerKeys), std::end(kAnswerKeys), key) != std::end(kAnswerKeys))
            key = "input." + key;
        PutJson(out, key);
        out += ':';
        PutJson(out, values[c]);
    }
}

// "province":..,"prefecture":..,"district":..,"code":..,"distance_m":..,"error":..
void PutAnswerMembers(std::string& out, const Record& r, const Named& n, long metres) {
    out += "\"province\":";
    PutJson(out, n.province);
    out += ",\"prefecture\":";
    PutJson(out, n.prefecture);
    out += ",\"district\":";
    PutJson(out, n.district);
    out += ",\"code\":";
    PutJson(out, n.code);
    out += ",\"distance_m\":" + (metres >= 0 ? std::to_string(metres) : std::string("null")) + ",\"error\":";
    if (r.error.empty())
        out += "null";
    else
        PutJson(out, r.error);
}

// A GeoJSON point in WGS-84, as RFC 7946 wants it, from map units in the input's system.
void PutPoint(std::string& out, MapPoint p, lookupd::Crs crs) {
    double lon = p.x / lookupd::kMapUnitsPerDegree, lat = p.y / lookupd::kMapUnitsPerDegree;
    lookupd::ConvertCrs(crs, lookupd::Crs::kWgs84, lon, lat);
    char text[80];
    std::snprintf(text, sizeof text, "{\"type\":\"Point\",\"coordinates\":[%.7f,%.7f]}", lon, lat);
    out += text;
}

}  // namespace

void PutRow(std::string& out,
            const Record& r,
            const Named* named,
            long metres,
            const MapPoint* point,
            const RowFormat& f) {
    static const Named kEmpty;
    const Named& n = named ? *named : kEmpty;
    switch (f.kind) {
        case RowKind::kJsonLines:
            out += "{\"line\":" + std::to_string(r.line) + ",\"input\":{";
            PutInputMembers(out, r, f, false);
            out += "},";
            PutAnswerMembers(out, r, n, metres);
            out += "}\n";
            return;
        case RowKind::kGeoJson:
        case RowKind::kGeoJsonSeq:
            out += f.kind == RowKind::kGeoJson ? ",\n" : "\x1E";
            out += "{\"type\":\"Feature\",\"geometry\":";
            if (point && r.error.empty())
                PutPoint(out, *point, f.crs);
            else
                out += "null";
            out += ",\"properties\":{";
            PutInputMembers(out, r, f, true);
            out += (out.back() == '{' ? "" : ",") + std::string("\"line\":") + std::to_string(r.line) + ",";
            PutAnswerMembers(out, r, n, metres);
            out += f.kind == RowKind::kGeoJson ? "}}" : "}}\n";
            return;
        case RowKind::kDelimited:
            break;
    }
    std::string distance = metres >= 0 ? std::to_string(metres) : std::string();
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
