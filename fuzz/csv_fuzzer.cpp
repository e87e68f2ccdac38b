// The batch tool's CSV/TSV reader on any file. Besides what the sanitizers see: each record is
// the input's own lines from where it says it starts, records follow one another with only
// blank lines between them, so that no line is lost; a row refused for an open quote is one
// line holding an odd count of quotes, any other holds an even count; an answered row's
// positions are cells of its row.
//
// Input layout: the first byte picks the table (bit 0: TSV, else CSV) and the columns
// (bits 1-2: 0 by header name, 1 by numbers, 2 by the names "p" and "q", 3 the longitude by
// number and the latitude by header name; bits 3-4 and 5-6: the longitude's and the
// latitude's number, 1 to 4); the rest is the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "positions.h"
#include "reader_fuzz.h"

namespace {

using namespace readerfuzz;

std::string Joined(const std::vector<std::string>& lines, size_t from, size_t count) {
    std::string s;
    for (size_t i = from; i < from + count; ++i)
        s += (i > from ? "\n" : "") + lines[i];
    return s;
}

bool OddQuotes(const std::string& s) {
    return std::count(s.begin(), s.end(), '"') % 2 != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const char delim = (data[0] & 1) ? '\t' : ',';
    const int mode = (data[0] >> 1) & 3;
    const std::string lonNumber = std::to_string(1 + ((data[0] >> 3) & 3));
    const std::string latNumber = std::to_string(1 + ((data[0] >> 5) & 3));
    geocode::ReaderOptions opt;
    if (mode == 1 || mode == 3)
        opt.lonColumn = lonNumber;
    if (mode == 1)
        opt.latColumn = latNumber;
    if (mode == 2) {
        opt.lonColumn = "p";
        opt.latColumn = "q";
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::vector<std::string> lines = Lines(bytes);
    std::vector<std::string> cells;
    for (const std::string& line : lines)
        FUZZ_CHECK(geocode::SplitDelimited(line, delim, cells) == !OddQuotes(line));

    const Reading rd = Read(delim == ',' ? geocode::Format::kCsv : geocode::Format::kTsv, bytes, opt);
    size_t next = 0;  // the first line not yet accounted for
    while (next < lines.size() && Blank(lines[next]))
        ++next;
    if (!rd.start.empty()) {
        FUZZ_CHECK(rd.start == "no header row (the input is empty)" ? next == lines.size()
                                                                    : rd.start.compare(0, 5, "line ") == 0);
        return 0;
    }
    FUZZ_CHECK(next < lines.size());
    std::string first = Joined(lines, next, 1 + std::count(rd.rawHeader.begin(), rd.rawHeader.end(), '\n'));
    if (first.compare(0, 3, "\xEF\xBB\xBF") == 0)
        first.erase(0, 3);
    FUZZ_CHECK(rd.rawHeader == first);
    FUZZ_CHECK(rd.columns.size() >= 1);
    next += 1 + std::count(rd.rawHeader.begin(), rd.rawHeader.end(), '\n');

    for (const Record& r : rd.records) {
        FUZZ_CHECK(r.line > next);
        for (size_t i = next; i + 1 < r.line; ++i)
            FUZZ_CHECK(Blank(lines[i]));
        const size_t count = 1 + std::count(r.raw.begin(), r.raw.end(), '\n');
        FUZZ_CHECK(r.line - 1 + count <= lines.size());
        FUZZ_CHECK(r.raw == Joined(lines, r.line - 1, count));
        FUZZ_CHECK(!Blank(r.raw));
        FUZZ_CHECK(r.cells.empty() && !r.exact && !r.noRow && r.note.empty());
        next = r.line - 1 + count;
        if (r.error == "a quoted cell is not closed") {
            FUZZ_CHECK(count == 1 && OddQuotes(r.raw));
            continue;
        }
        FUZZ_CHECK(!OddQuotes(r.raw));
        if (!r.error.empty()) {
            FUZZ_CHECK(r.error.compare(0, 12, "the row has ") == 0);
            continue;
        }
        FUZZ_CHECK(geocode::SplitDelimited(r.raw, delim, cells));
        auto isCell = [&](const std::string& v) {
            return std::any_of(cells.begin(), cells.end(), [&](const std::string& c) { return geocode::Trim(c) == v; });
        };
        FUZZ_CHECK(isCell(r.lon) && isCell(r.lat));
        // A number names a column unless a header cell bears it as its name.
        const bool byNumber = (mode == 1 || mode == 3) &&
                              std::none_of(rd.columns.begin(), rd.columns.end(),
                                           [&](const std::string& c) { return geocode::Trim(c) == lonNumber; });
        if (byNumber)
            FUZZ_CHECK(r.lon == geocode::Trim(cells[std::stoul(lonNumber) - 1]));
    }
    for (size_t i = next; i < lines.size(); ++i)
        FUZZ_CHECK(Blank(lines[i]));
    return 0;
}
