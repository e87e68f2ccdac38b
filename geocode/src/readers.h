// The input formats, read one point at a time in constant memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace geocode {

// Bytes from a file or standard input through a buffer of fixed size.
class ByteInput {
public:
    // A small buffer is for the tests and the fuzzers, to put the buffer's edge everywhere.
    explicit ByteInput(std::FILE* f, size_t bufferBytes = 1 << 20) : m_file(f), m_buf(bufferBytes ? bufferBytes : 1) {}
    // Next byte, or -1 at the end (or on a read error, which Failed() then reports).
    int Get() {
        if (m_pos == m_len && !Fill())
            return -1;
        ++m_consumed;
        return static_cast<unsigned char>(m_buf[m_pos++]);
    }
    int Peek() {
        if (m_pos == m_len && !Fill())
            return -1;
        return static_cast<unsigned char>(m_buf[m_pos]);
    }
    // One line without its end (\n or \r\n); false at the end of the input.
    bool Line(std::string& line);
    uint64_t Consumed() const { return m_consumed; }
    bool Failed() const { return m_failed; }

private:
    bool Fill();
    std::FILE* m_file;
    std::vector<char> m_buf;
    size_t m_pos = 0, m_len = 0;
    uint64_t m_consumed = 0;
    bool m_failed = false;
};

// One point of the input, as the reader found it.
struct Record {
    uint64_t line = 0;               // where it starts, 1-based
    std::string raw;                 // a CSV/TSV row as written, echoed unchanged
    std::vector<std::string> cells;  // the other formats' columns (see Source::Columns)
    std::string lon, lat;            // typed texts, for the program's parser
    bool exact = false;              // x and y are already read (GPX, NMEA)
    int32_t x = 0, y = 0;
    std::string error;  // why it cannot be read; then it gets no lookup
    // A line that is no point (an NMEA sentence without a fix, a GPX cut short between
    // points): reported with its error or note, but no output row.
    bool noRow = false;
    std::string note;
};

enum class Format { kCsv, kTsv, kGpx, kNmea, kPlain };

struct ReaderOptions {
    std::string lonColumn, latColumn;  // --lon / --lat: header names or 1-based numbers
};

class Source {
public:
    virtual ~Source() = default;
    // The output's leading columns: for CSV/TSV the header row as written, else column names.
    virtual std::vector<std::string> Columns() const = 0;
    const std::string& RawHeader() const { return m_rawHeader; }
    // Reads the header (CSV/TSV); an empty string or why the input cannot be read at all.
    virtual std::string Start() { return {}; }
    // The next point; false at the end.
    virtual bool Next(Record& r) = 0;

protected:
    std::string m_rawHeader;
};

std::unique_ptr<Source> MakeSource(Format f, ByteInput& in, const ReaderOptions& opt);

// CSV cells of one record (RFC 4180 quoting); false when a quote is left open.
bool SplitDelimited(const std::string& row, char delim, std::vector<std::string>& cells);

}  // namespace geocode
