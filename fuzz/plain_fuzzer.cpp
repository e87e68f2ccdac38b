// The batch tool's plain "LON LAT" reader on any file. Besides what the sanitizers see: every
// line but blank ones and comments has one record, in order; one with two values takes them
// as its longitude and latitude, any other is refused with the count and keeps its line whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "positions.h"
#include "reader_fuzz.h"

using namespace readerfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = Lines(bytes);
    const Reading rd = Read(geocode::Format::kPlain, bytes);
    FUZZ_CHECK(rd.start.empty());

    size_t k = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view text = geocode::Trim(lines[i]);
        if (text.empty() || text[0] == '#')
            continue;
        std::vector<std::string> values;
        for (size_t at = 0; (at = lines[i].find_first_not_of(" \t,;", at)) != std::string::npos;) {
            size_t end = lines[i].find_first_of(" \t,;", at);
            values.push_back(lines[i].substr(at, end - at));
            at = end;
        }
        FUZZ_CHECK(k < rd.records.size());
        const Record& r = rd.records[k++];
        FUZZ_CHECK(r.line == i + 1 && r.cells.size() == 2 && !r.exact && !r.noRow && r.note.empty());
        if (values.size() == 2) {
            FUZZ_CHECK(r.error.empty() && r.cells == values && r.lon == values[0] && r.lat == values[1]);
        } else {
            FUZZ_CHECK(r.error == "expected LON LAT, found " + std::to_string(values.size()) + " values");
            FUZZ_CHECK(r.cells[0] == lines[i] && r.cells[1].empty());
        }
    }
    FUZZ_CHECK(k == rd.records.size());
    return 0;
}
