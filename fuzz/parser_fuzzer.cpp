// The coordinate parser on two typed texts of any bytes, 0 to 100 each (so
// pieces beyond the 51-byte scratch copy are tried too). Besides what the
// sanitizers see, the result must not depend on anything but the two texts.
//
// Input layout: the first byte, modulo 101, is the longitude text's length;
// the longitude text follows, and the rest (at most 100 bytes) is the
// latitude text.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "core/CoordinateParser.h"

namespace {

constexpr size_t kMaxText = 100;
constexpr int kPieceLength = 51;

bool operator==(MapPoint a, MapPoint b) {
    return a.x == b.x && a.y == b.y;
}

MapPoint Parse(const CString& lon, const CString& lat) {
    return ParseCoordinates(lon, lat);
}

bool HasAllMarks(const CString& text) {
    return text.Find('.') >= 0 && text.Find('\'') >= 0 && text.Find('"') >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    size_t rest = size - 1;
    size_t lonLength = data[0] % (kMaxText + 1);
    if (lonLength > rest)
        lonLength = rest;
    size_t latLength = rest - lonLength;
    if (latLength > kMaxText)
        latLength = kMaxText;
    const CString lon(bytes, static_cast<int>(lonLength));
    const CString lat(bytes + lonLength, static_cast<int>(latLength));

    const MapPoint point = Parse(lon, lat);

    // The notation is chosen from both texts alike, so swapping the texts
    // swaps the coordinates; and a call in between changes nothing.
    const MapPoint swapped = Parse(lat, lon);
    FUZZ_CHECK(swapped.x == point.y && swapped.y == point.x);
    FUZZ_CHECK(Parse(lon, lat) == point);

    if (lon.Find('\'') < 0 && lat.Find('\'') < 0) {
        // Decimal degrees: each coordinate comes from its own text alone...
        FUZZ_CHECK(Parse(lon, CString()).x == point.x);
        FUZZ_CHECK(Parse(CString(), lat).y == point.y);
        // ...and only its first 51 bytes count.
        FUZZ_CHECK(Parse(lon.Left(kPieceLength), lat.Left(kPieceLength)) == point);
    } else if (HasAllMarks(lon) && HasAllMarks(lat)) {
        // Degrees, minutes and seconds: what follows the last double quote
        // is not read.
        FUZZ_CHECK(Parse(lon + CString("7.5 "), lat) == point);
    }
    return 0;
}
