// The batch tool's GPX reader on any file. Besides what the sanitizers see: every point is a
// wpt, trkpt or rtept from a line that holds a '<', points come in the order of their lines,
// an answered point's position is its lat and lon read exactly, a refused one says why,
// texts stay within their 64 KiB, and a message without a row (a cut or foreign file) comes
// last, with its reason.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "positions.h"
#include "reader_fuzz.h"

using namespace readerfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // GPX counts lines by '\n' alone: a '\r' is no line end.
    std::vector<std::string> lines(1);
    for (char c : bytes) {
        if (c == '\n')
            lines.emplace_back();
        else
            lines.back() += c;
    }

    const Reading rd = Read(geocode::Format::kGpx, bytes);
    FUZZ_CHECK(rd.start.empty());
    uint64_t last = 1;
    for (size_t i = 0; i < rd.records.size(); ++i) {
        const Record& r = rd.records[i];
        FUZZ_CHECK(r.line >= last && r.line <= lines.size());
        last = r.line;
        FUZZ_CHECK(r.note.empty() && r.raw.empty());
        if (r.noRow) {
            FUZZ_CHECK(i + 1 == rd.records.size());
            FUZZ_CHECK(r.error == "not a GPX file (no <gpx> element)" ||
                       r.error == "truncated GPX: the input ends before </gpx>");
            continue;
        }
        FUZZ_CHECK(lines[r.line - 1].find('<') != std::string::npos);
        FUZZ_CHECK(r.cells.size() == 6 && r.exact);
        FUZZ_CHECK(r.cells[0] == "wpt" || r.cells[0] == "trkpt" || r.cells[0] == "rtept");
        for (const std::string& c : r.cells)
            FUZZ_CHECK(c.size() <= 65536);
        if (r.error.compare(0, 15, "truncated GPX: ") == 0) {
            FUZZ_CHECK(i + 1 == rd.records.size());
            FUZZ_CHECK(r.error == "truncated GPX: <" + r.cells[0] + "> from line " + std::to_string(r.line) +
                                      " is not closed at the end of the input");
        }
        if (!r.error.empty())
            continue;
        int32_t x = 0, y = 0;
        FUZZ_CHECK(geocode::ExactDegrees(geocode::Trim(r.cells[1]), x) && x == r.x);
        FUZZ_CHECK(geocode::ExactDegrees(geocode::Trim(r.cells[2]), y) && y == r.y);
    }
    return 0;
}
