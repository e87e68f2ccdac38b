// One run of lumeno-geocode: inputs read, points looked up on worker threads, rows written in
// input order.
#pragma once

#include <string>
#include <vector>

#include "index/crs.h"
#include "output.h"
#include "readers.h"

namespace geocode {

struct Options {
    std::vector<std::string> inputs;  // "-" is standard input
    bool formatGiven = false;
    Format from = Format::kCsv;
    ReaderOptions reader;
    std::string output;  // empty or "-": standard output
    RowKind rows = RowKind::kDelimited;
    lookupd::Crs crs = lookupd::Crs::kWgs84;  // --crs: the system of every input position
    bool bom = false;
    bool gbk = false;
    bool strict = false;
    bool quiet = false;
    unsigned threads = 0;  // 0: one per core
    std::string data;      // index file; empty: beside the program
    std::string service;   // HOST:PORT, instead of the index
    int timeoutMs = 5000;
};

enum Exit { kAllAnswered = 0, kSomeRefused = 1, kUsageOrIo = 2 };

// The format a file's name implies; false when it implies none.
bool FormatFromName(const std::string& path, Format& f);

int Run(const Options& opt, const std::string& programPath);

}  // namespace geocode
