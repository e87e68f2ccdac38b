// What lumeno-geocode writes: places in the output's encoding, rows as CSV/TSV or JSON Lines,
// and the progress line on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "places.h"
#include "readers.h"

namespace geocode {

// The three levels and the code, in the output's encoding.
struct Named {
    std::string province, prefecture, district, code;
};

// The levels of `l` into `out`, converted to GBK when `gbk`; false where they have no GBK form.
bool Encode(const Levels& l, bool gbk, Named& out);

// Quoted when it holds the delimiter, a quote or a line end.
void PutCell(std::string& out, std::string_view cell, char delim);
void PutJson(std::string& out, std::string_view s);

// How rows are written: a JSON line each, or the input's cells and the answer's apart by `delim`.
struct RowFormat {
    bool jsonLines;
    char delim;
    const std::vector<std::string>& columns;  // the input's, for the JSON keys
};

// One row for a record: `named` is null where no place was found, `metres` negative where no
// distance applies.
void PutRow(std::string& out, const Record& r, const Named* named, long metres, const RowFormat& f);

using Clock = std::chrono::steady_clock;

class Progress {
public:
    Progress(bool on, uint64_t totalBytes) : m_on(on), m_total(totalBytes), m_start(Clock::now()) {}
    void Update(uint64_t bytes, uint64_t points, bool force);
    void Clear();

private:
    bool m_on;
    uint64_t m_total;
    Clock::time_point m_start, m_last;
    bool m_shown = false;
};

bool StderrIsTerminal();

}  // namespace geocode
