#include "readers.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "positions.h"

namespace geocode {

bool ByteInput::Fill() {
    if (m_failed || !m_file)
        return false;
    m_pos = 0;
    m_len = std::fread(m_buf.data(), 1, m_buf.size(), m_file);
    if (m_len == 0 && std::ferror(m_file))
        m_failed = true;
    return m_len > 0;
}

bool ByteInput::Line(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
        if (m_pos == m_len && !Fill())
            break;
        any = true;
        const char* b = m_buf.data() + m_pos;
        const char* nl = static_cast<const char*>(std::memchr(b, '\n', m_len - m_pos));
        size_t n = nl ? static_cast<size_t>(nl - b) : m_len - m_pos;
        line.append(b, n);
        m_pos += n;
        m_consumed += n;
        if (nl) {
            ++m_pos;
            ++m_consumed;
            break;
        }
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}

bool SplitDelimited(const std::string& row, char delim, std::vector<std::string>& cells) {
    cells.clear();
    std::string cell;
    bool quoted = false;
    for (size_t i = 0; i < row.size(); ++i) {
        char c = row[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < row.size() && row[i + 1] == '"') {
                    cell += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                cell += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == delim) {
            cells.push_back(std::move(cell));
            cell.clear();
        } else {
            cell += c;
        }
    }
    cells.push_back(std::move(cell));
    return !quoted;
}

namespace {

const size_t kMaxRecordBytes = 1 << 20;
const size_t kMaxRecordLines = 1000;

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Header names by preference; 经度 and 纬度 in UTF-8 and in GBK.
const char* const kLonNames[] = {"longitude",        "lon", "lng", "long", "\xE7\xBB\x8F\xE5\xBA\xA6",
                                 "\xBE\xAD\xB6\xC8", "x"};
const char* const kLatNames[] = {"latitude", "lat", "\xE7\xBA\xAC\xE5\xBA\xA6", "\xCE\xB3\xB6\xC8", "y"};

class DelimitedSource : public Source {
public:
    DelimitedSource(ByteInput& in, char delim, const ReaderOptions& opt) : m_in(in), m_delim(delim), m_opt(opt) {}

    std::vector<std::string> Columns() const override { return m_header; }

    std::string Start() override {
        Record r;
        std::string fault;
        while (Assemble(r, fault)) {
            if (!fault.empty())
                return "line " + std::to_string(r.line) + ": " + fault;
            if (Trim(r.raw).empty())
                continue;
            // A byte-order mark belongs to the file, not to the first column's name.
            if (r.raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
                r.raw.erase(0, 3);
            m_rawHeader = r.raw;
            SplitDelimited(r.raw, m_delim, m_header);
            std::string err;
            if (!Find(m_opt.lonColumn, kLonNames, "longitude", "--lon", m_lon, err) ||
                !Find(m_opt.latColumn, kLatNames, "latitude", "--lat", m_lat, err))
                return "line " + std::to_string(r.line) + ": " + err;
            if (m_lon == m_lat)
                return "line " + std::to_string(r.line) + ": the longitude and the latitude are the same column";
            return {};
        }
        return "no header row (the input is empty)";
    }

    bool Next(Record& r) override {
        std::string fault;
        for (;;) {
            if (!Assemble(r, fault))
                return false;
            if (!fault.empty()) {
                r.error = fault;
                return true;
            }
            if (!Trim(r.raw).empty())
                break;
        }
        std::vector<std::string>& cells = m_cells;
        SplitDelimited(r.raw, m_delim, cells);
        size_t need = std::max(m_lon, m_lat) + 1;
        if (cells.size() < need) {
            r.error = "the row has " + std::to_string(cells.size()) + " columns; the " +
                      (cells.size() <= m_lon ? "longitude" : "latitude") + " is in column " +
                      std::to_string((cells.size() <= m_lon ? m_lon : m_lat) + 1);
            return true;
        }
        r.lon = std::string(Trim(cells[m_lon]));
        r.lat = std::string(Trim(cells[m_lat]));
        return true;
    }

private:
    // One record, which a quoted cell may carry over several lines. A quote still open after
    // the limits (or at the end) makes the first line a faulty row of its own, and the lines
    // after it are read again, so one stray quote costs one row, not the rest of the file.
    bool Assemble(Record& r, std::string& fault) {
        r = Record();
        fault.clear();
        std::pair<uint64_t, std::string> first;
        if (!GetLine(first))
            return false;
        r.line = first.first;
        r.raw = first.second;
        if (SplitDelimited(r.raw, m_delim, m_cells))
            return true;
        std::vector<std::pair<uint64_t, std::string>> more;
        std::string joined = r.raw;
        std::pair<uint64_t, std::string> next;
        while (more.size() < kMaxRecordLines && joined.size() < kMaxRecordBytes && GetLine(next)) {
            joined += '\n';
            joined += next.second;
            more.push_back(std::move(next));
            if (SplitDelimited(joined, m_delim, m_cells)) {
                r.raw = std::move(joined);
                return true;
            }
        }
        for (auto it = more.rbegin(); it != more.rend(); ++it)
            m_pending.push_front(std::move(*it));
        fault = "a quoted cell is not closed";
        return true;
    }

    bool GetLine(std::pair<uint64_t, std::string>& out) {
        if (!m_pending.empty()) {
            out = std::move(m_pending.front());
            m_pending.pop_front();
            return true;
        }
        if (!m_in.Line(out.second))
            return false;
        out.first = ++m_lineNo;
        return true;
    }

    template <size_t N>
    bool Find(const std::string& given,
              const char* const (&names)[N],
              const char* what,
              const char* option,
              size_t& index,
              std::string& err) {
        if (!given.empty()) {
            for (size_t i = 0; i < m_header.size(); ++i)
                if (Trim(m_header[i]) == given) {
                    index = i;
                    return true;
                }
            if (given.find_first_not_of("0123456789") == std::string::npos && given.size() < 6 &&
                std::stoul(given) >= 1) {
                index = std::stoul(given) - 1;
                return true;
            }
            err = std::string("no column named '") + given + "' (" + option + ")";
            return false;
        }
        for (const char* name : names)
            for (size_t i = 0; i < m_header.size(); ++i)
                if (Lower(Trim(m_header[i])) == name) {
                    index = i;
                    return true;
                }
        err = std::string("no ") + what + " column in the header; name it with " + option;
        return false;
    }

    ByteInput& m_in;
    char m_delim;
    ReaderOptions m_opt;
    std::vector<std::string> m_header, m_cells;
    size_t m_lon = 0, m_lat = 0;
    uint64_t m_lineNo = 0;
    std::deque<std::pair<uint64_t, std::string>> m_pending;
};

class PlainSource : public Source {
public:
    explicit PlainSource(ByteInput& in) : m_in(in) {}
    std::vector<std::string> Columns() const override { return {"lon", "lat"}; }

    bool Next(Record& r) override {
        std::string line;
        for (;;) {
            r = Record();
            if (!m_in.Line(line))
                return false;
            r.line = ++m_lineNo;
            std::string_view t = Trim(line);
            if (!t.empty() && t[0] != '#')
                break;
        }
        // Values apart by white space or a comma.
        std::vector<std::string> values;
        std::string cur;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == ',' || c == ';') {
                if (!cur.empty())
                    values.push_back(std::move(cur));
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (!cur.empty())
            values.push_back(std::move(cur));
        r.cells = values;
        r.cells.resize(2);
        if (values.size() != 2) {
            r.error = "expected LON LAT, found " + std::to_string(values.size()) + " values";
            r.cells = {line, ""};
            return true;
        }
        r.lon = values[0];
        r.lat = values[1];
        return true;
    }

private:
    ByteInput& m_in;
    uint64_t m_lineNo = 0;
};

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

class NmeaSource : public Source {
public:
    explicit NmeaSource(ByteInput& in) : m_in(in) {}
    std::vector<std::string> Columns() const override { return {"sentence", "date", "time", "lat", "lon"}; }

    bool Next(Record& r) override {
        std::string line;
        for (;;) {
            r = Record();
            if (!m_in.Line(line))
                return false;
            r.line = ++m_lineNo;
            if (!Trim(line).empty() && Read(Trim(line), r))
                return true;
        }
    }

private:
    // False for a line that is no position sentence (GSV, GSA, ...), which has no row.
    bool Read(std::string_view line, Record& r) {
        r.cells.assign(5, "");
        size_t dollar = line.find('$');
        if (dollar == std::string_view::npos) {
            r.cells[0] = std::string(line.substr(0, 16));
            r.error = "not an NMEA sentence (no $)";
            return true;
        }
        std::string_view s = line.substr(dollar + 1);
        size_t star = s.find('*');
        std::string_view body = s.substr(0, star);
        std::vector<std::string_view> f;
        for (size_t at = 0;;) {
            size_t comma = body.find(',', at);
            f.push_back(body.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at));
            if (comma == std::string_view::npos)
                break;
            at = comma + 1;
        }
        std::string_view address = f[0];
        std::string_view type = address.size() == 5 ? address.substr(2) : std::string_view();
        if (type != "GGA" && type != "RMC" && type != "GLL")
            return false;
        r.cells[0] = std::string(address);
        if (star == std::string_view::npos) {
            r.error = "no checksum";
            return true;
        }
        unsigned sum = 0;
        for (char c : body)
            sum ^= static_cast<unsigned char>(c);
        std::string_view given = Trim(s.substr(star + 1));
        if (given.size() != 2 || Hex(given[0]) < 0 || Hex(given[1]) < 0) {
            r.error = "checksum '" + std::string(given) + "' is not two hex digits";
            return true;
        }
        if (static_cast<unsigned>(Hex(given[0]) * 16 + Hex(given[1])) != sum) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "bad checksum: the sentence says %.2s, its text sums to %02X", given.data(),
                          sum);
            r.error = buf;
            return true;
        }
        auto at = [&](size_t i) { return i < f.size() ? f[i] : std::string_view(); };
        size_t latAt = 0;
        bool fix = true;
        if (type == "GGA") {
            r.cells[2] = std::string(at(1));
            latAt = 2;
            fix = !at(6).empty() && at(6) != "0";
        } else if (type == "RMC") {
            r.cells[2] = std::string(at(1));
            r.cells[1] = std::string(at(9));
            latAt = 3;
            fix = at(2) == "A" && at(12) != "N";
        } else {
            r.cells[2] = std::string(at(5));
            latAt = 1;
            fix = at(6) == "A" && at(7) != "N";
        }
        r.cells[3] = std::string(at(latAt)) + std::string(at(latAt + 1));
        r.cells[4] = std::string(at(latAt + 2)) + std::string(at(latAt + 3));
        if (!fix || at(latAt).empty() || at(latAt + 2).empty()) {
            r.noRow = true;
            r.note = std::string(address) + " without a fix, skipped";
            return true;
        }
        r.exact = true;
        r.error = NmeaAngle(at(latAt), at(latAt + 1), 2, r.y);
        if (r.error.empty())
            r.error = NmeaAngle(at(latAt + 2), at(latAt + 3), 3, r.x);
        return true;
    }

    ByteInput& m_in;
    uint64_t m_lineNo = 0;
};

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
                if (m_text.size() < kMaxText)
                    m_text += static_cast<char>(c);
                continue;
            }
            if (c != '<')
                continue;
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

    // Skips to the end of `close`; false at the end of the input.
    bool SkipPast(const char* close) {
        size_t n = std::strlen(close), matched = 0;
        for (;;) {
            int c = Get();
            if (c < 0)
                return false;
            matched = (c == close[matched]) ? matched + 1 : (c == close[0] ? 1 : 0);
            if (matched == n)
                return true;
        }
    }

    static std::string Local(const std::string& name) {
        size_t colon = name.find(':');
        return colon == std::string::npos ? name : name.substr(colon + 1);
    }

    static void PutUtf8(unsigned long cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x110000) {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
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
            else if (e.size() > 1 && e[0] == '#')
                PutUtf8(
                    e[1] == 'x' ? std::strtoul(e.c_str() + 2, nullptr, 16) : std::strtoul(e.c_str() + 1, nullptr, 10),
                    out);
            else {
                out += s[i];
                continue;
            }
            i = semi;
        }
        return out;
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
                if (m_capture && m_text.size() < kMaxText)
                    m_text += Escape(text);
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

    bool SkipCdata(std::string& text) {
        size_t matched = 0;
        for (;;) {
            int c = Get();
            if (c < 0)
                return false;
            text += static_cast<char>(c);
            matched = c == ']' ? std::min<size_t>(matched + 1, 2) : (c == '>' && matched == 2 ? 3 : 0);
            if (matched == 3) {
                text.resize(text.size() - 3);
                return true;
            }
            if (text.size() > kMaxText)
                text.erase(0, text.size() - 3);
        }
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
            m_point.line = m_line;
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
        if (m_inPoint && !empty && (name == "ele" || name == "time" || name == "name")) {
            m_capture = true;
            m_field = name;
            m_text.clear();
        }
    }

    void End(const std::string& name) {
        if (name == "gpx")
            m_sawEnd = true;
        if (m_capture && name == m_field) {
            m_capture = false;
            int col = name == "ele" ? 3 : name == "time" ? 4 : 5;
            m_point.cells[col] = std::string(Trim(Unescape(m_text)));
            return;
        }
        if (m_inPoint && name == m_pointName)
            Finish();
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
    uint64_t m_line = 1;
    Record m_point;
    std::string m_pointName, m_field, m_text;
    bool m_inPoint = false, m_capture = false, m_ready = false, m_sawRoot = false, m_sawEnd = false, m_done = false;
};

}  // namespace

std::unique_ptr<Source> MakeSource(Format f, ByteInput& in, const ReaderOptions& opt) {
    switch (f) {
        case Format::kCsv:
            return std::make_unique<DelimitedSource>(in, ',', opt);
        case Format::kTsv:
            return std::make_unique<DelimitedSource>(in, '\t', opt);
        case Format::kGpx:
            return std::make_unique<GpxSource>(in);
        case Format::kNmea:
            return std::make_unique<NmeaSource>(in);
        case Format::kPlain:
            break;
    }
    return std::make_unique<PlainSource>(in);
}

}  // namespace geocode
