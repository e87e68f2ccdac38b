// The charting library's compact coordinate strings, as two of the data files store them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lookupd {

// Decodes one ring: each vertex is two UTF-16 code units, zig-zag encoded
// deltas biased by 64, starting from the ring's offset pair; the sums are in
// 1/1024 degree. Returns false (and leaves `out` empty) for a string that is
// not valid UTF-8 or has an odd number of code units.
bool DecodeCompactRing(const std::string& utf8,
                       long offsetX,
                       long offsetY,
                       std::vector<std::pair<double, double>>& out);

}  // namespace lookupd
