// CSV and TSV: rows echoed as written, the position columns found by header name or number.
#include "sources.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "positions.h"

namespace geocode {

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
        // Assemble has split this very row.
        const std::vector<std::string>& cells = m_cells;
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
    // A quote is left open exactly when a row holds an odd count of them ("" inside a quoted
    // cell counts two), so the lines after an open quote are counted, not split again each.
    bool Assemble(Record& r, std::string& fault) {
        r = Record();
        fault.clear();
        std::pair<uint64_t, std::string> first;
        if (!GetLine(first))
            return false;
        r.line = first.first;
        r.raw = std::move(first.second);
        if (!OddQuotes(r.raw)) {
            SplitDelimited(r.raw, m_delim, m_cells);
            return true;
        }
        std::vector<std::pair<uint64_t, std::string>> more;
        std::string joined = r.raw;
        std::pair<uint64_t, std::string> next;
        while (more.size() < kMaxRecordLines && joined.size() < kMaxRecordBytes && GetLine(next)) {
            joined += '\n';
            joined += next.second;
            const bool closes = OddQuotes(next.second);
            more.push_back(std::move(next));
            if (closes) {
                SplitDelimited(joined, m_delim, m_cells);
                r.raw = std::move(joined);
                return true;
            }
        }
        for (auto it = more.rbegin(); it != more.rend(); ++it)
            m_pending.push_front(std::move(*it));
        fault = "a quoted cell is not closed";
        return true;
    }

    static bool OddQuotes(const std::string& s) { return std::count(s.begin(), s.end(), '"') % 2 != 0; }

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

}  // namespace

std::unique_ptr<Source> MakeDelimitedSource(ByteInput& in, char delim, const ReaderOptions& opt) {
    return std::make_unique<DelimitedSource>(in, delim, opt);
}

}  // namespace geocode
