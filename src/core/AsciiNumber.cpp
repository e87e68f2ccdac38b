#include "core/AsciiNumber.h"

#include <charconv>
#include <climits>
#include <limits>
#include <system_error>

namespace {

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Skips white space and an optional sign; returns true for a minus sign.
const char* SkipToDigits(const char* p, bool& negative) {
    while (IsSpace(*p))
        ++p;
    negative = (*p == '-');
    if (*p == '-' || *p == '+')
        ++p;
    return p;
}

}  // namespace

int AsciiToInt(const char* psz) {
    if (!psz)
        return 0;
    bool negative = false;
    const char* p = SkipToDigits(psz, negative);
    // Accumulate as a magnitude one past INT_MAX so INT_MIN itself fits.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; IsDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value >= limit) {
            value = limit;
            while (IsDigit(p[1]))
                ++p;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

double AsciiToDouble(const char* psz) {
    if (!psz)
        return 0.0;
    bool negative = false;
    const char* const start = SkipToDigits(psz, negative);

    // Find the extent of the number ourselves, so that std::from_chars sees
    // exactly what atof would read (it would also accept "inf" or "nan").
    const char* p = start;
    int intDigits = 0;        // significant digits before the point
    int leadingFraction = 0;  // zeros right after the point before the first non-zero digit
    bool anyDigit = false;
    bool nonZero = false;
    for (; IsDigit(*p); ++p) {
        anyDigit = true;
        if (*p != '0' || nonZero) {
            nonZero = true;
            ++intDigits;
        }
    }
    if (*p == '.') {
        ++p;
        for (; IsDigit(*p); ++p) {
            anyDigit = true;
            if (*p != '0')
                nonZero = true;
            else if (!nonZero)
                ++leadingFraction;
        }
    }
    if (!anyDigit)
        return 0.0;
    long long exponent = 0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        bool negativeExponent = (*q == '-');
        if (*q == '-' || *q == '+')
            ++q;
        if (IsDigit(*q)) {
            for (; IsDigit(*q); ++q) {
                if (exponent < 100000)
                    exponent = exponent * 10 + (*q - '0');
            }
            if (negativeExponent)
                exponent = -exponent;
            p = q;
        }
    }

    double value = 0.0;
    std::from_chars_result result = std::from_chars(start, p, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Decide between overflow and underflow from the decimal magnitude.
        long long magnitude = intDigits > 0 ? exponent + intDigits : exponent - leadingFraction;
        value = (nonZero && magnitude > 0) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}
