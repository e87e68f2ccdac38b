// The input readers in process: what each format makes of line ends, quoting, markup and
// damaged input, read through a buffer of a few bytes as well as the program's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "readers.h"

namespace {

using namespace geocode;

// A record in one line: where, what was read, the exact position, why refused, and "-" for
// a message without a row.
std::string Show(const Record& r) {
    std::string s = std::to_string(r.line) + ":";
    if (r.cells.empty())
        s += r.lon + "," + r.lat;
    for (size_t i = 0; i < r.cells.size(); ++i)
        s += (i ? "|" : "") + r.cells[i];
    if (r.exact && r.error.empty())
        s += " @" + std::to_string(r.x) + "," + std::to_string(r.y);
    if (!r.error.empty())
        s += " !" + r.error;
    if (!r.note.empty())
        s += " ~" + r.note;
    return s + (r.noRow ? " -" : "");
}

struct Reading {
    std::string start;  // Start()'s complaint
    std::vector<std::string> records;
    std::vector<std::string> raws, columns;
};

Reading ReadWith(Format f, const std::string& bytes, const ReaderOptions& opt, size_t buffer) {
    std::FILE* file = bytes.empty() ? nullptr : fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    ByteInput in(file, buffer);
    std::unique_ptr<Source> source = MakeSource(f, in, opt);
    Reading out;
    out.start = source->Start();
    out.columns = source->Columns();
    Record r;
    while (out.start.empty() && source->Next(r)) {
        out.records.push_back(Show(r));
        out.raws.push_back(r.raw);
    }
    EXPECT_EQ(in.Consumed(), bytes.size());
    if (file)
        std::fclose(file);
    return out;
}

// Every input is read twice: through a buffer of 3 bytes, which puts its edge inside every
// line end and tag, and through the program's own; both must read the same.
Reading Read(Format f, const std::string& bytes, const ReaderOptions& opt = {}) {
    Reading small = ReadWith(f, bytes, opt, 3), big = ReadWith(f, bytes, opt, 1 << 20);
    EXPECT_EQ(small.start, big.start);
    EXPECT_EQ(small.records, big.records);
    EXPECT_EQ(small.raws, big.raws);
    return big;
}

using Lines = std::vector<std::string>;

TEST(ByteInput, LinesOverTheBufferEdgeAndReadErrors) {
    const std::string text = "ab\r\n\r\ncdefghij\nk\rl\r\n\nlast\r";
    for (size_t buffer = 1; buffer <= 9; ++buffer) {
        std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
        ByteInput in(f, buffer);
        Lines lines;
        for (std::string line; in.Line(line);)
            lines.push_back(line);
        EXPECT_EQ(lines, (Lines{"ab", "", "cdefghij", "k\rl", "", "last"})) << buffer;
        EXPECT_EQ(in.Consumed(), text.size());
        EXPECT_FALSE(in.Failed());
        std::fclose(f);
    }
    // A folder opens but cannot be read: a failure, not an empty input, and it stays one.
    std::FILE* dir = std::fopen("/", "rb");
    ASSERT_NE(dir, nullptr);
    ByteInput in(dir, 8);
    std::string line;
    EXPECT_FALSE(in.Line(line));
    EXPECT_TRUE(in.Failed());
    EXPECT_EQ(in.Get(), -1);
    EXPECT_EQ(in.Peek(), -1);
    std::fclose(dir);
}

TEST(Delimited, LineEndsQuotesAndTabs) {
    // CRLF, a byte-order mark, a blank line, a cell over two lines, doubled quotes.
    Reading csv = Read(Format::kCsv,
                       "\xEF\xBB\xBFid,Lon,LAT,note\r\n1, 113.5 ,34.5,\r\n\r\n2,113.6,\"34.6\",\"two\r\nlines\"\r\n"
                       "3,\"1,5\",\" 2 \",\"say \"\"hi\"\"\"\r\n");
    EXPECT_EQ(csv.start, "");
    EXPECT_EQ(csv.columns, (Lines{"id", "Lon", "LAT", "note"}));
    EXPECT_EQ(csv.records, (Lines{"2:113.5,34.5", "4:113.6,34.6", "6:1,5,2"}));
    EXPECT_EQ(csv.raws[1], "2,113.6,\"34.6\",\"two\nlines\"");
    EXPECT_EQ(csv.raws[2], "3,\"1,5\",\" 2 \",\"say \"\"hi\"\"\"");

    Reading tsv = Read(Format::kTsv, "name\tx\ty\n\"a\tb\"\t1.5\t2.5\nc,d\t\"3\n\"\t4\r\n");
    EXPECT_EQ(tsv.records, (Lines{"2:1.5,2.5", "3:3\n,4"}));
}

TEST(Delimited, ColumnsByNameOrNumber) {
    struct {
        std::string input, lon, lat, expect;  // the first row's record, or Start()'s complaint
    } cases[] = {
        {"X,Y,Lng,Latitude\n1,2,3,4\n", "", "", "2:3,4"},               // names by preference
        {"\xBE\xAD\xB6\xC8,\xCE\xB3\xB6\xC8\n5,6\n", "", "", "2:5,6"},  // 经度, 纬度 in GBK
        {"a,b,c\n1,2,3\n", "3", "2", "2:3,2"},                          // numbers, from 1
        {"lat,1,lon\na,b,c\n", "1", "", "2:b,a"},                       // a name before a number
        {"lon, my lat \n1,2\n", "", "my lat", "2:1,2"},
        {"a,lon,lat\n1,2\n", "", "", "2:, !the row has 2 columns; the latitude is in column 3"},
        {"a,lon,lat\n1\n", "", "", "2:, !the row has 1 columns; the longitude is in column 2"},
        {"lon,lat\n", "lat", "", "line 1: the longitude and the latitude are the same column"},
        {"\n \nlon,lat\n", "0", "", "line 3: no column named '0' (--lon)"},
        {"lon,lat\n", "", "123456", "line 1: no column named '123456' (--lat)"},
        {"a,b\n", "", "", "line 1: no longitude column in the header; name it with --lon"},
        {"lon,b\n", "", "", "line 1: no latitude column in the header; name it with --lat"},
        {"\"lon,lat\n1,2\n", "", "", "line 1: a quoted cell is not closed"},
        {"\r\n \n", "", "", "no header row (the input is empty)"},
    };
    for (auto& c : cases) {
        Reading r = Read(Format::kCsv, c.input, ReaderOptions{c.lon, c.lat});
        EXPECT_EQ(r.start.empty() ? r.records.at(0) : r.start, c.expect) << c.input;
    }
}

// A quote left open takes at most 1,000 more lines, or lines until the record passes 1 MiB;
// then only its first line is refused and the lines after it are read again.
TEST(Delimited, AnOpenQuoteCostsOneRow) {
    for (size_t filler : {999, 1000}) {
        std::string in = "id,lon,lat,note\n1,1,2,\"open\n";
        for (size_t i = 0; i < filler; ++i)
            in += "7,8,9\n";
        Reading r = Read(Format::kCsv, in + "end\"\n9,5,6\n");
        if (filler == 999) {
            EXPECT_EQ(r.records, (Lines{"2:1,2", "1003:5,6"}));
            continue;
        }
        ASSERT_EQ(r.records.size(), 1003u);
        EXPECT_EQ(r.records[0], "2:, !a quoted cell is not closed");
        EXPECT_EQ(r.raws[0], "1,1,2,\"open");
        EXPECT_EQ(r.records[1], "3:8,9");
        EXPECT_EQ(r.records[1001], "1003:, !a quoted cell is not closed");  // opens again, up to the end
        EXPECT_EQ(r.records[1002], "1004:5,6");
    }
    const std::string big(300000, 'a');
    for (int filler : {2, 3}) {
        std::string in = "id,lon,lat,note\n1,1,2,\"" + big + "\n";
        for (int i = 0; i < filler; ++i)
            in += big + "\n";
        Reading r = Read(Format::kCsv, in + "\",x\n9,5,6\n");
        if (filler == 2) {
            EXPECT_EQ(r.records, (Lines{"2:1,2", "6:5,6"}));
        } else {
            EXPECT_EQ(r.records.front(), "2:, !a quoted cell is not closed");
            EXPECT_EQ(r.records.size(), 6u);
            EXPECT_EQ(r.records.back(), "7:5,6");
        }
    }
}

// '^' stands for a zero byte, which a C string cannot hold.
std::string Nul(std::string s) {
    std::replace(s.begin(), s.end(), '^', '\0');
    return s;
}

TEST(Gpx, PointsAttributesEntitiesAndComments) {
    Reading r =
        Read(Format::kGpx,
             Nul("<?xml version=\"1.0\"?>\n<!DOCTYPE gpx>\n<g:gpx xmlns:g=\"http://www.topografix.com/GPX/1/1\">\n"
                 "<wpt\n lat='34.5'\tlon = \"113.25\" >\n"
                 "  <name>A &amp; B &#233;&#x20AC;&#128;&#x1F600; &#0;&#xD800;&#x;&bogus;</name>\n"
                 "  <ele> 12.5 </ele>7</ele><time><![CDATA[20]>23]]]></time>\n"  // a stray end tag ends nothing
                 "  <extensions><g:name>not the point's</g:name><time>x</time></extensions></wpt>\n"
                 "<!-- <trkpt lat=\"1\" lon=\"2\"/> --->\n"
                 "<g:trkpt lat=\"-0.0000027777778\" lon=\"181\"/>\n"
                 "<rtept lat=\"1x\" lon=\"2\"/><rtept lat=1 lon=\"2\"/><wpt lon=\"2\"/><wpt lat=\"3^\" lon=\"4\"/>"
                 "<wpt^ lat=\"9\" lon=\"9\"/>\n"  // a zero byte is part of a name
                 "<wpt lat=\"5\" lon=\"6\"><name>open</wpt><wpt lat=\"7\" lon=\"8\">x</name></wpt>\n"
                 "</g:gpx>\n"));
    EXPECT_EQ(r.columns, (Lines{"type", "lon", "lat", "ele", "time", "name"}));
    EXPECT_EQ(r.records, (Lines{"4:wpt|113.25|34.5|12.5|20]>23]|A & B \xC3\xA9\xE2\x82\xAC\xC2\x80\xF0\x9F\x98\x80 "
                                "&#0;&#xD800;&#x;&bogus; @40770000,12420000",
                                "10:trkpt|181|-0.0000027777778||| @65160000,-1",
                                "11:rtept|2|1x||| !lat '1x' is not a decimal number",
                                "11:rtept|2|||| !lat is not written as lat=\"...\"", "11:wpt|2|||| !<wpt> without lat",
                                Nul("11:wpt|4|3^||| !lat '3^' is not a decimal number"),
                                "12:wpt|6|5||| @2160000,1800000", "12:wpt|8|7||| @2880000,2520000"}));

    struct {
        const char *input, *expect;  // the last record
    } ends[] = {
        {"", "1:, !not a GPX file (no <gpx> element) -"},
        {"<gpx>\n<wpt lat=\"1\" lon=\"2\"><name>x",
         "2:wpt|2|1||| !truncated GPX: <wpt> from line 2 is not closed at the end of the input"},
        {"<gpx><wpt lat=\"1\" lon=\"2\"/>\n<!-- </gpx> -", "2:, !truncated GPX: the input ends before </gpx> -"},
        {"<gpx><wpt lat=\"1\" lon=\"2\"/><![CDATA[ </gpx> ]]", "1:, !truncated GPX: the input ends before </gpx> -"},
    };
    for (auto& e : ends)
        EXPECT_EQ(Read(Format::kGpx, e.input).records.back(), e.expect) << e.input;
}

// Character data and CDATA alike are kept up to 64 KiB, from their start; the rest is read
// past, and the points after them are read as usual.
TEST(Gpx, LongTextIsCutAt64KiB) {
    const std::string name(100000, 'n'), time(70000, 't');
    Reading r = Read(Format::kGpx, "<gpx><wpt lat=\"1\" lon=\"2\"><name>" + name + "</name><time><![CDATA[" + time +
                                       "]]]]]]>" + time + "]]></time></wpt><wpt lat=\"3\" lon=\"4\"/></gpx>");
    ASSERT_EQ(r.records.size(), 2u);
    // Compared whole, shown by size: the text is too long for a report.
    const std::string cut = "1:wpt|2|1||" + time.substr(0, 65536) + "|" + name.substr(0, 65536) + " @720000,360000";
    EXPECT_TRUE(r.records[0] == cut) << r.records[0].size() << " bytes, not " << cut.size();
    EXPECT_EQ(r.records[1], "1:wpt|4|3||| @1440000,1080000");
    // A short CDATA keeps its brackets before "]]>".
    EXPECT_EQ(Read(Format::kGpx, "<gpx><wpt lat=\"1\" lon=\"2\"><name><![CDATA[a]]]]]></name></wpt></gpx>").records,
              (Lines{"1:wpt|2|1|||a]]] @720000,360000"}));
}

TEST(Nmea, ChecksumsFixesAndSentences) {
    Reading r = Read(Format::kNmea,
                     "$GNRMC,011240.00,A,3447.48350,N,11339.44100,E,0.02,,040523,,,A,V*26\r\n"
                     "\r\n"
                     "junk$GPGGA,011201.00,3447.48350,N,11339.44100,E,1,08,1.0,99.0,M,-13.0,M,,*7f \n"
                     "$BDGLL,3149.12000,N,11716.50000,E,011245.00,A,A*72\n"
                     "$GPGSV,3,1,11*7B\n"
                     "$GPGGA,011240.00,3447.48350,N,11339.44100,E,0,,,,,,,,*73\n"
                     "$GPGGA,011240.00,,N,11339.44100,E,1,,,,,,,,*62\n"
                     "$GPRMC,011240.00,V,3447.48350,N,11339.44100,E,,,040523,,,A*49\n"
                     "$GPRMC,011240.00,A,3447.48350,N,11339.44100,E,,,040523,,,N*51\n"
                     "$GPGLL,3447.48350,N,11339.44100,E,011240.00,V,A*7E\n"
                     "$GPGLL,3447.48350,N,11339.44100,E,011240.00,A,N*66\n"
                     "$GPGGA,011240.00,3447.48350,X,11339.44100,E,1,,,,,,,,*64\n"
                     "$GPGGA,011240.00,3447.48350,N,1133.44100,E,1,,,,,,,,*4B\n"
                     "$GPGGA,011240.00,3447.48350,N,11339.44100,E,1,,,,,,,,\n"
                     "$GPGGA,011240.00,3447.48350,N,11339.44100,E,1,,,,,,,,*7\n"
                     "$GPGGA,011240.00,3447.48350,N,11339.44100,E,1,,,,,,,,*G0\n"
                     "$GPGGA,011240.00,3447.48350,N,11339.44100,E,1,,,,,,,,*00\n"
                     "an unterminated line without a dollar");
    EXPECT_EQ(r.columns, (Lines{"sentence", "date", "time", "lat", "lon"}));
    const std::string gga = "GPGGA||011240.00|3447.48350N|11339.44100E";
    EXPECT_EQ(r.records, (Lines{"1:GNRMC|040523|011240.00|3447.48350N|11339.44100E @40916646,12524901",
                                "3:GPGGA||011201.00|3447.48350N|11339.44100E @40916646,12524901",
                                "4:BDGLL||011245.00|3149.12000N|11716.50000E @42219000,11454720",
                                "6:" + gga + " ~GPGGA without a fix, skipped -",
                                "7:GPGGA||011240.00|N|11339.44100E ~GPGGA without a fix, skipped -",
                                "8:GPRMC|040523|011240.00|3447.48350N|11339.44100E ~GPRMC without a fix, skipped -",
                                "9:GPRMC|040523|011240.00|3447.48350N|11339.44100E ~GPRMC without a fix, skipped -",
                                "10:GPGLL||011240.00|3447.48350N|11339.44100E ~GPGLL without a fix, skipped -",
                                "11:GPGLL||011240.00|3447.48350N|11339.44100E ~GPGLL without a fix, skipped -",
                                "12:GPGGA||011240.00|3447.48350X|11339.44100E !latitude hemisphere 'X' is not N or S",
                                "13:GPGGA||011240.00|3447.48350N|1133.44100E !longitude '1133.44100' is not dddmm.mmmm",
                                "14:GPGGA|||| !no checksum", "15:GPGGA|||| !checksum '7' is not two hex digits",
                                "16:GPGGA|||| !checksum 'G0' is not two hex digits",
                                "17:GPGGA|||| !bad checksum: the sentence says 00, its text sums to 72",
                                "18:an unterminated |||| !not an NMEA sentence (no $)"}));
}

TEST(Plain, SeparatorsCommentsAndCounts) {
    Reading r = Read(Format::kPlain,
                     "# LON LAT\r\n113.5 34.5\r\n\r\n \t113.5,\t34.5 \n113.5;34.5\n  # indented\n113.5\n1 2 3\n"
                     "113.5 , 34.5");
    EXPECT_EQ(r.columns, (Lines{"lon", "lat"}));
    EXPECT_EQ(r.records,
              (Lines{"2:113.5|34.5", "4:113.5|34.5", "5:113.5|34.5", "7:113.5| !expected LON LAT, found 1 values",
                     "8:1 2 3| !expected LON LAT, found 3 values", "9:113.5|34.5"}));
}

}  // namespace
