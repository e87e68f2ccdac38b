// What lumeno-geocode writes: places in the output's encoding, rows as CSV/TSV, JSON Lines or
// GeoJSON, and the progress line on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/MapPoint.h"
#include "index/crs.h"
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

// How rows are written: the input's cells and the answer's apart by a delimiter (CSV, TSV), a
// JSON line each, or a GeoJSON Feature each, inside one FeatureCollection (RFC 7946) or each
// after a record separator (GeoJSON text sequences, RFC 8142).
enum class RowKind { kDelimited, kJsonLines, kGeoJson, kGeoJsonSeq };

struct RowFormat {
    RowKind kind;
    char delim;
    const std::vector<std::string>& columns;  // the input's, for the JSON keys
    lookupd::Crs crs = lookupd::Crs::kWgs84;  // the input's positions', for the GeoJSON points
};

// What comes before the first row and after the last of a FeatureCollection. Every Feature row
// begins with the separator ",\n", which the writer leaves out before the first.
constexpr char kCollectionHead[] = "{\"type\":\"FeatureCollection\",\"features\":[\n";
constexpr char kCollectionTail[] = "\n]}\n";

// One row for a record: `named` is null where no place was found, `metres` negative where no
// distance applies, `point` null where the record has no position that was looked up.
void PutRow(std::string& out,
            const Record& r,
            const Named* named,
            long metres,
            const MapPoint* point,
            const RowFormat& f);

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
