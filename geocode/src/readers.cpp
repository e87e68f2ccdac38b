#include "readers.h"

#include <cstring>

#include "sources.h"

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

// Cells are filled in place, so that a run of rows reuses their strings, and copied a span at
// a time between quotes and delimiters.
bool SplitDelimited(const std::string& row, char delim, std::vector<std::string>& cells) {
    size_t used = 0;
    auto next = [&]() -> std::string& {
        if (used == cells.size())
            cells.emplace_back();
        std::string& c = cells[used++];
        c.clear();
        return c;
    };
    std::string* cell = &next();
    bool quoted = false;
    size_t i = 0;
    while (i < row.size()) {
        if (quoted) {
            const size_t q = row.find('"', i);
            if (q == std::string::npos) {
                cell->append(row, i, std::string::npos);
                break;
            }
            cell->append(row, i, q - i);
            if (q + 1 < row.size() && row[q + 1] == '"') {
                *cell += '"';
                i = q + 2;
            } else {
                quoted = false;
                i = q + 1;
            }
            continue;
        }
        size_t j = i;
        while (j < row.size() && row[j] != delim && row[j] != '"')
            ++j;
        cell->append(row, i, j - i);
        if (j == row.size())
            break;
        if (row[j] == '"')
            quoted = true;
        else
            cell = &next();
        i = j + 1;
    }
    cells.resize(used);
    return !quoted;
}

std::unique_ptr<Source> MakeSource(Format f, ByteInput& in, const ReaderOptions& opt) {
    switch (f) {
        case Format::kCsv:
            return MakeDelimitedSource(in, ',', opt);
        case Format::kTsv:
            return MakeDelimitedSource(in, '\t', opt);
        case Format::kGpx:
            return MakeGpxSource(in);
        case Format::kNmea:
            return MakeNmeaSource(in);
        case Format::kPlain:
            break;
    }
    return MakePlainSource(in);
}

}  // namespace geocode
