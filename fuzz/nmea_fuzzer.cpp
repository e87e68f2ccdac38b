// The batch tool's NMEA reader on any file. Besides what the sanitizers see: exactly the lines
// that are no sentence (no '$') or a GGA, RMC or GLL sentence have a record, in order; one
// without a '$' is refused as such; a taken fix has a checksum that sums right; a sentence
// without a fix is a note without a row; a refused one says why.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "positions.h"
#include "reader_fuzz.h"

using namespace readerfuzz;

namespace {

int Hex(char c) {
    const std::string digits = "0123456789ABCDEF";
    size_t at = digits.find(static_cast<char>(c >= 'a' && c <= 'f' ? c - 32 : c));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = Lines(bytes);
    const Reading rd = Read(geocode::Format::kNmea, bytes);
    FUZZ_CHECK(rd.start.empty());

    size_t k = 0;  // the next record
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string text(geocode::Trim(lines[i]));
        const size_t dollar = text.find('$');
        const std::string sentence = dollar == std::string::npos ? "" : text.substr(dollar + 1);
        const std::string address = sentence.substr(0, sentence.find_first_of(",*"));
        const std::string type = address.size() == 5 ? address.substr(2) : "";
        const bool position = type == "GGA" || type == "RMC" || type == "GLL";
        if (text.empty() || (dollar != std::string::npos && !position)) {
            FUZZ_CHECK(k == rd.records.size() || rd.records[k].line != i + 1);
            continue;
        }
        FUZZ_CHECK(k < rd.records.size());
        const Record& r = rd.records[k++];
        FUZZ_CHECK(r.line == i + 1 && r.cells.size() == 5);
        if (dollar == std::string::npos) {
            FUZZ_CHECK(r.error == "not an NMEA sentence (no $)" && r.cells[0] == text.substr(0, 16));
            continue;
        }
        FUZZ_CHECK(r.cells[0] == address);
        if (r.noRow) {
            FUZZ_CHECK(r.error.empty() && r.note == address + " without a fix, skipped");
            continue;
        }
        FUZZ_CHECK(r.note.empty());
        if (!r.error.empty())
            continue;
        const size_t star = sentence.find('*');
        FUZZ_CHECK(star != std::string::npos);
        unsigned sum = 0;
        for (size_t j = 0; j < star; ++j)
            sum ^= static_cast<unsigned char>(sentence[j]);
        const std::string given(geocode::Trim(sentence.substr(star + 1)));
        FUZZ_CHECK(given.size() == 2 && Hex(given[0]) >= 0 && Hex(given[1]) >= 0);
        FUZZ_CHECK(static_cast<unsigned>(Hex(given[0]) * 16 + Hex(given[1])) == sum);
        FUZZ_CHECK(r.exact);
    }
    FUZZ_CHECK(k == rd.records.size());
    return 0;
}
