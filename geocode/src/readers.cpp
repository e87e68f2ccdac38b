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
