// What the batch tool's reader targets share: the fuzzer's bytes read as one input file, once
// through a one-byte buffer and once through a larger one (the two must agree, so that no
// record depends on where a read ends), and the input's own lines to check records against.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "readers.h"

namespace readerfuzz {

using geocode::Record;

struct Reading {
    std::string start;  // Start()'s complaint
    std::vector<std::string> columns;
    std::string rawHeader;
    std::vector<Record> records;
};

// Every field of a record, for comparing two readings.
inline std::string Key(const Record& r) {
    std::string k = std::to_string(r.line) + '\x1f' + r.raw + '\x1f' + r.lon + '\x1f' + r.lat + '\x1f' + r.error +
                    '\x1f' + r.note + '\x1f' + (r.noRow ? "-" : "+") + (r.exact ? "x" : "t");
    if (r.exact)
        k += std::to_string(r.x) + ',' + std::to_string(r.y);
    for (const std::string& c : r.cells)
        k += '\x1f' + c;
    return k;
}

inline Reading ReadOnce(geocode::Format f, const std::string& bytes, const geocode::ReaderOptions& opt, size_t buffer) {
    // fmemopen may refuse an empty buffer: no file reads as an empty input.
    std::FILE* file = bytes.empty() ? nullptr : fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    FUZZ_CHECK(bytes.empty() || file);
    geocode::ByteInput in(file, buffer);
    std::unique_ptr<geocode::Source> source = geocode::MakeSource(f, in, opt);
    Reading out;
    out.start = source->Start();
    out.columns = source->Columns();
    out.rawHeader = source->RawHeader();
    Record r;
    while (out.start.empty() && source->Next(r))
        out.records.push_back(r);
    FUZZ_CHECK(!in.Failed());
    // Read to the end, or stopped at the header with a reason.
    FUZZ_CHECK(in.Consumed() == bytes.size() || !out.start.empty());
    if (file)
        std::fclose(file);
    return out;
}

inline Reading Read(geocode::Format f, const std::string& bytes, const geocode::ReaderOptions& opt = {}) {
    Reading small = ReadOnce(f, bytes, opt, 1), big = ReadOnce(f, bytes, opt, 4096);
    FUZZ_CHECK(small.start == big.start);
    FUZZ_CHECK(small.columns == big.columns);
    FUZZ_CHECK(small.rawHeader == big.rawHeader);
    FUZZ_CHECK(small.records.size() == big.records.size());
    for (size_t i = 0; i < big.records.size(); ++i)
        FUZZ_CHECK(Key(small.records[i]) == Key(big.records[i]));
    return big;
}

// The input's lines as ByteInput gives them: apart at '\n', one '\r' before it dropped, no
// line after a final '\n'.
inline std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t nl = bytes.find('\n', at);
        std::string line = bytes.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return lines;
}

inline bool Blank(const std::string& s) {
    return s.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace readerfuzz
