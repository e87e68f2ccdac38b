// Writing the district index file that index/place_index.h reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index/pieces.h"
#include "index/place_index.h"

namespace lookupd {

// What the converter hands to the index writer: one named district and its pieces.
struct District {
    std::string name;   // GBK, full form: province, prefecture, county
    uint32_t code = 0;  // the 6-digit division code; 0 where none is known (Taiwan, Hong Kong, Macau)
    std::vector<Piece> pieces;
};

// Cells of the stored grid per piece: with 64, nine lookups in ten need no piece, and the
// grid, mostly long runs of one value, adds little to a compressed package.
constexpr double kStoredCellsPerPiece = 64.0;

// Writes the index file; returns an empty string or what went wrong. The pieces are stored
// as they are: every vertex keeps its exact coordinates. With them a grid of what each cell
// holds (PlaceIndex::ClassifyCells), cellsPerPiece cells per piece; none for 0.
std::string WriteIndex(const std::string& path,
                       Datum datum,
                       const std::vector<District>& districts,
                       double cellsPerPiece = kStoredCellsPerPiece);

// Recomputes every checksum of an index file's bytes, where its header's counts fit them, so
// that tests and the fuzzer can damage a file on purpose and still get past the checksums to
// the checks behind them. Returns false where the bytes are not laid out as an index.
bool ResealIndex(std::string& bytes);

}  // namespace lookupd
