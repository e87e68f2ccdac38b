#include "positions.h"

#include <cctype>

#include "core/CoordinateParser.h"
#include "core/LocationQuery.h"

namespace geocode {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits from `i`; returns how many.
size_t Digits(std::string_view s, size_t& i) {
    size_t start = i;
    while (i < s.size() && IsDigit(s[i]))
        ++i;
    return i - start;
}

const char* NotationName(Notation n) {
    switch (n) {
        case Notation::kDecimal:
            return "decimal degrees";
        case Notation::kDegreesMinutes:
            return "degrees and decimal minutes";
        case Notation::kDegreesMinutesSeconds:
            return "degrees-minutes-seconds";
        case Notation::kInvalid:
            break;
    }
    return "no notation";
}

int SmallNumber(std::string_view s) {
    int v = 0;
    for (char c : s)
        v = v * 10 + (c - '0');
    return v;
}

}  // namespace

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

Notation ClassifyCell(std::string_view s, std::string& why) {
    if (s.empty()) {
        why = "empty";
        return Notation::kInvalid;
    }
    size_t i = 0;
    bool sign = s[0] == '+' || s[0] == '-';
    if (sign)
        ++i;
    size_t deg = Digits(s, i);
    if (i == s.size() && deg > 0)
        return Notation::kDecimal;
    if (i == s.size() || s[i] != '.') {
        why = "'" + std::string(s) + "' is not a number";
        return Notation::kInvalid;
    }
    ++i;
    size_t minStart = i;
    size_t frac = Digits(s, i);
    if (i == s.size()) {
        if (deg + frac == 0) {
            why = "'" + std::string(s) + "' is not a number";
            return Notation::kInvalid;
        }
        return Notation::kDecimal;
    }
    // Degrees.minutes'... : the window's marks. A sign would apply to the degrees alone there.
    if (s[i] != '\'' || deg == 0 || frac == 0 || frac > 2 || sign) {
        why = "'" + std::string(s) + "' is not a number in any of the three notations";
        return Notation::kInvalid;
    }
    if (SmallNumber(s.substr(minStart, frac)) >= 60) {
        why = "'" + std::string(s) + "': minutes must be below 60";
        return Notation::kInvalid;
    }
    ++i;
    size_t secStart = i;
    size_t sec = Digits(s, i);
    if (sec == 0) {
        why = "'" + std::string(s) + "': digits must follow the apostrophe";
        return Notation::kInvalid;
    }
    if (i == s.size())
        return Notation::kDegreesMinutes;
    size_t secInt = sec;
    if (s[i] == '.') {
        ++i;
        if (Digits(s, i) == 0) {
            why = "'" + std::string(s) + "': digits must follow the seconds' point";
            return Notation::kInvalid;
        }
    }
    if (i + 1 != s.size() || s[i] != '"') {
        why = "'" + std::string(s) + "' is not a number in any of the three notations";
        return Notation::kInvalid;
    }
    if (secInt > 2 || SmallNumber(s.substr(secStart, secInt)) >= 60) {
        why = "'" + std::string(s) + "': seconds must be below 60";
        return Notation::kInvalid;
    }
    return Notation::kDegreesMinutesSeconds;
}

std::string ParseTypedPair(std::string_view lon, std::string_view lat, MapPoint& out) {
    std::string why;
    Notation a = ClassifyCell(lon, why);
    if (a == Notation::kInvalid)
        return "longitude " + why;
    Notation b = ClassifyCell(lat, why);
    if (b == Notation::kInvalid)
        return "latitude " + why;
    // The window picks one notation for the pair; mixed texts would be read as something else.
    if (a != b)
        return std::string("longitude in ") + NotationName(a) + " but latitude in " + NotationName(b);
    out = ParseCoordinates(CString(lon.data(), static_cast<int>(lon.size())),
                           CString(lat.data(), static_cast<int>(lat.size())));
    return {};
}

bool ExactDecimalUnits(std::string_view s, int64_t factor, int64_t& out) {
    size_t i = 0;
    size_t whole = Digits(s, i);
    size_t dot = i;
    size_t frac = 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        frac = Digits(s, i);
    }
    if (i != s.size() || whole + frac == 0 || whole > 9)
        return false;
    int64_t units = 0;
    for (size_t k = 0; k < whole; ++k)
        units = units * 10 + (s[k] - '0');
    units *= factor;
    // The fraction's digits times the factor, from the last digit up: the carry out of the
    // first digit is the whole part of fraction * factor, with nothing rounded on the way.
    // No point, no fraction: "34" has no byte after its digits to start one at.
    std::string digits(frac ? s.substr(dot + 1, frac) : std::string_view());
    int64_t carry = 0;
    for (size_t k = digits.size(); k-- > 0;) {
        int64_t t = (digits[k] - '0') * factor + carry;
        carry = t / 10;
    }
    units += carry;
    if (units > INT32_MAX)
        return false;
    out = units;
    return true;
}

bool ExactDegrees(std::string_view s, int32_t& units) {
    bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+'))
        s.remove_prefix(1);
    int64_t v = 0;
    if (!ExactDecimalUnits(s, 360000, v))
        return false;
    units = static_cast<int32_t>(negative ? -v : v);
    return true;
}

std::string NmeaAngle(std::string_view field, std::string_view hemisphere, int degreeDigits, int32_t& units) {
    const char* what = degreeDigits == 2 ? "latitude" : "longitude";
    size_t dot = field.find('.');
    size_t intDigits = dot == std::string_view::npos ? field.size() : dot;
    if (intDigits != static_cast<size_t>(degreeDigits) + 2)
        return std::string(what) + " '" + std::string(field) + "' is not " + (degreeDigits == 2 ? "dd" : "ddd") +
               "mm.mmmm";
    for (size_t i = 0; i < intDigits; ++i)
        if (!IsDigit(field[i]))
            return std::string(what) + " '" + std::string(field) + "' is not a number";
    int64_t minuteUnits = 0;
    if (!ExactDecimalUnits(field.substr(degreeDigits), 6000, minuteUnits))
        return std::string(what) + " '" + std::string(field) + "' is not a number";
    if (minuteUnits >= 60 * 6000)
        return std::string(what) + " '" + std::string(field) + "': minutes must be below 60";
    int64_t v = SmallNumber(field.substr(0, degreeDigits)) * 360000 + minuteUnits;
    char positive = degreeDigits == 2 ? 'N' : 'E';
    char negative = degreeDigits == 2 ? 'S' : 'W';
    if (hemisphere.size() != 1 || (hemisphere[0] != positive && hemisphere[0] != negative))
        return std::string(what) + " hemisphere '" + std::string(hemisphere) + "' is not " + positive + " or " +
               negative;
    units = static_cast<int32_t>(hemisphere[0] == negative ? -v : v);
    return {};
}

bool InRegion(MapPoint p) {
    return IsInServiceRegion(p);
}

}  // namespace geocode
