// The string class, the number readers and the URL split that the parser and
// the query stand on.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/AsciiNumber.h"
#include "core/String.h"
#include "core/UrlSplit.h"

namespace {

struct NumberCase {
    std::string text;
    double value;
};

// clang-format off
TEST(AsciiToDouble, RoundsCorrectlyAndReadsOnlyANumber) {
    const NumberCase cases[] = {
        // Correct rounding on both builds: each of these is a case where a naive or
        // runtime-dependent conversion is known to land one bit off (the third is halfway: to even).
        {"0.1", 0.1}, {"113.65735", 0x1.c6a1205bc01a3p+6}, {"9007199254740993", 9007199254740992.0},
        {"2.2250738585072011e-308", 0x0.fffffffffffffp-1022}, {"1.7976931348623157e308", 0x1.fffffffffffffp+1023},
        {"0.44100000000000000000000000000000000000000001", 0.441},
        // The longest prefix that forms a number, after white space; nothing else
        // (no inf, nan or hex) counts as one.
        {" \t\n-0.5abc", -0.5}, {"+.5", 0.5}, {"5.", 5.0}, {"1.2.3", 1.2}, {"26.46\"", 26.46}, {"1e", 1.0},
        {"1e+", 1.0}, {"2E3x", 2000.0}, {"0.44.1", 0.44}, {".", 0.0}, {"-", 0.0}, {"", 0.0}, {"- 1", 0.0},
        {"inf", 0.0}, {"nan", 0.0}, {"0x10", 0.0},
        // Out of range: infinity or zero.
        {"1e400", HUGE_VAL}, {"0.05e400", HUGE_VAL}, {"-123456789e999", -HUGE_VAL}, {"1e-400", 0.0},
        {"0.000001e-320", 0.0}, {"0e99999", 0.0}, {"1e99999999999999999999", HUGE_VAL},
        {"0." + std::string(330, '0') + "1e5", 0.0}};  // tiny despite a positive exponent
    for (const NumberCase& c : cases)
        EXPECT_EQ(AsciiToDouble(c.text.c_str()), c.value) << "[" << c.text.substr(0, 60) << "]";
}

TEST(AsciiToInt, DigitsOnlyAndSaturates) {
    const NumberCase cases[] = {
        {"\r\n -42x", -42}, {"39.5", 39}, {"+7", 7}, {"113'39", 113}, {"", 0}, {"x1", 0},
        {"2147483647", INT_MAX}, {"2147483648", INT_MAX}, {"-2147483648", INT_MIN},
        {"-99999999999999999999999", INT_MIN}, {"00000000000000000000000012", 12}};
    for (const NumberCase& c : cases)
        EXPECT_EQ(AsciiToInt(c.text.c_str()), c.value) << "[" << c.text << "]";
}
// clang-format on

TEST(CString, SubstringsClampAndFormatFits) {
    CString s("113.39'441");
    EXPECT_EQ(s.Mid(-3, 3), "113");
    EXPECT_EQ(s.Mid(4, -1), "");
    EXPECT_EQ(s.Mid(7, 100), "441");
    EXPECT_EQ(s.Mid(10), "");
    EXPECT_EQ(s.Mid(11, 2), "");
    EXPECT_EQ(s.Left(100), "113.39'441");
    EXPECT_EQ(s.Left(-1), "");
    EXPECT_EQ(s.Left(3), "113");
    s.Format("x=%d&%0300d", INT_MIN, 7);
    EXPECT_EQ(s.Left(15), "x=-2147483648&0");
    EXPECT_EQ(s.GetLength(), 314);
}

// The service, host, path and port of a lookup address; anything else is refused.
TEST(AfxParseURL, SplitsOrRefuses) {
    const struct {
        const char* url;
        bool ok;
        const char* server;
        const char* object;
        uint16_t port;
    } cases[] = {{"http://lookup.example/GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext", true,
                  "lookup.example", "/GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext", 80},
                 {"http://127.0.0.1:18360/GetTextByPos?x=1&y=2", true, "127.0.0.1", "/GetTextByPos?x=1&y=2", 18360},
                 {"HTTP://host", true, "host", "/", 80},
                 {"http://host?q", true, "host", "/?q", 80},
                 {"https://host:8443", true, "host", "/", 8443},
                 {"ftp://host/", false, "", "", 0},
                 {"http://:80/", false, "", "", 0},
                 {"http://host:65536/", false, "", "", 0},
                 {"http://host:0/", false, "", "", 0},
                 {"http://host:/", false, "", "", 0},
                 {"http://host:80x/", false, "", "", 0},
                 {"host/path", false, "", "", 0}};
    for (const auto& c : cases) {
        uint32_t service = 0;
        CString server;
        CString object;
        uint16_t port = 0;
        EXPECT_EQ(AfxParseURL(c.url, service, server, object, port), c.ok) << c.url;
        EXPECT_EQ(service == AFX_INET_SERVICE_UNK, !c.ok) << c.url;
        EXPECT_EQ(server, c.server) << c.url;
        EXPECT_EQ(object, c.object) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
    }
}

}  // namespace
