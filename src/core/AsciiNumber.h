// Text-to-number conversions with the classic atoi/atof reading rules, but
// with results that do not depend on the platform's C runtime: leading white
// space is skipped, an optional sign is taken, then as many characters as form
// a number; the rest is ignored, and no digits at all give 0.
#pragma once

// Decimal digits only. Values beyond the 32-bit range saturate at INT_MAX or
// INT_MIN (the C library leaves overflow undefined, and runtimes disagree).
int AsciiToInt(const char* psz);

// Digits with at most one decimal point and an optional exponent, correctly
// rounded to the nearest double. Overflow gives an infinity of the number's
// sign, underflow a zero. Hexadecimal forms and words such as "inf" are not
// numbers here and read as 0.
double AsciiToDouble(const char* psz);
