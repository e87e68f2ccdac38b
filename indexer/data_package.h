// Reading the boundary data package's GeoJSON files into districts for lumeno-mkindex.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "indexer/divisions.h"
#include "indexer/index_writer.h"

namespace lookupd {

// Parses a JSON file; false with `err` naming the file where it cannot be read or parsed.
bool ReadJson(const std::string& path, nlohmann::json& out, std::string& err);

// What the files held, for the build's report.
struct Stats {
    size_t features = 0, vertices = 0, pieces = 0, compactFiles = 0;
};

// Adds the districts of one GeoJSON file (plain or compact coordinates, converted to GCJ-02 when
// `wgs84`), each cut into pieces of at most `maxVertices`, with their names under `prefix` and
// `cityFull`; false with `err` on a file that cannot be read.
bool AddFile(const std::string& path,
             bool wgs84,
             const std::string& prefix,
             const std::string& cityFull,
             size_t maxVertices,
             std::vector<District>& out,
             std::vector<DivisionName>& names,
             Stats& stats,
             std::string& err);

}  // namespace lookupd
