// Turns the two typed coordinate texts into map units. The parser never
// fails: pieces without a number read as 0 and a malformed combination gives
// (0, 0); the region test of the query turns such points away.
#include "core/CoordinateParser.h"

#include <cmath>
#include <cstdint>

#include "core/AsciiNumber.h"

namespace {

constexpr double kUnitsPerDegree = 360000.0;
// Pieces are multiplied by these, never divided by 60 or 3600: the two give
// different doubles for some values (23 minutes, for one).
constexpr double kMinuteFactor = 1.0 / 60.0;
constexpr double kSecondFactor = 1.0 / 3600.0;
// Every piece is converted from a scratch copy of at most this many bytes;
// longer pieces are cut, never read in full.
constexpr int kMaxPieceLength = 51;

enum class Notation { DecimalDegrees, None, DegreesDecimalMinutes, DegreesMinutesSeconds, DegreesOnly };

struct Marks {
    int dot;    // first "."
    int apo;    // last apostrophe
    int quote;  // last double quote

    explicit Marks(const CString& text)
        : dot(text.Find('.')), apo(text.ReverseFind('\'')), quote(text.ReverseFind('"')) {}
};

int PieceToInt(const CString& piece) {
    return AsciiToInt(piece.Left(kMaxPieceLength));
}

double PieceToDouble(const CString& piece) {
    return AsciiToDouble(piece.Left(kMaxPieceLength));
}

// The notation is chosen once for the pair, from the marks of both texts.
Notation ChooseNotation(const Marks& lon, const Marks& lat) {
    if (lon.apo < 0 || lat.apo < 0)
        return Notation::DecimalDegrees;
    if (lon.dot < 0 || lat.dot < 0)
        return Notation::None;
    bool lonQuote = lon.quote >= 0;
    bool latQuote = lat.quote >= 0;
    if (lonQuote != latQuote)
        return Notation::DegreesOnly;
    return lonQuote ? Notation::DegreesMinutesSeconds : Notation::DegreesDecimalMinutes;
}

// Degrees of one text in the chosen notation. Each step rounds to the nearest
// double; a sign belongs only to the piece that carries it.
double TextToDegrees(const CString& text, const Marks& m, Notation notation) {
    if (notation == Notation::DecimalDegrees)
        return PieceToDouble(text);

    double value = PieceToInt(text.Left(m.dot));
    if (notation == Notation::DegreesOnly)
        return value;

    int minutes = PieceToInt(text.Mid(m.dot + 1, m.apo - m.dot - 1));
    value = minutes * kMinuteFactor + value;
    if (notation == Notation::DegreesMinutesSeconds) {
        double seconds = PieceToDouble(text.Mid(m.apo + 1, m.quote - m.apo - 1));
        return seconds * kSecondFactor + value;
    }
    // The digits after the apostrophe are the decimal fraction of the minute.
    double fraction = PieceToDouble(CString("0.") + text.Mid(m.apo + 1));
    return fraction * kMinuteFactor + value;
}

// Truncates toward zero and keeps the low 32 bits of the 64-bit result.
int32_t DegreesToMapUnits(double degrees) {
    double units = degrees * kUnitsPerDegree;
    if (!std::isfinite(units) || std::fabs(units) >= 9223372036854775808.0)  // 2^63
        return 0;
    auto wide = static_cast<uint64_t>(static_cast<int64_t>(units));
    return static_cast<int32_t>(static_cast<uint32_t>(wide));
}

}  // namespace

MapPoint ParseCoordinates(CString strLongitude, CString strLatitude) {
    Marks lon(strLongitude);
    Marks lat(strLatitude);
    Notation notation = ChooseNotation(lon, lat);
    if (notation == Notation::None)
        return MapPoint{0, 0};
    return MapPoint{DegreesToMapUnits(TextToDegrees(strLongitude, lon, notation)),
                    DegreesToMapUnits(TextToDegrees(strLatitude, lat, notation))};
}
