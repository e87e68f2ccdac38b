// Running lumeno-geocode and the lookup service from the batch tool's tests.
#pragma once

#include <cstdio>

#include "service/tests/live_service.h"

namespace geocode_test {

using lookupd::testing::Slurp;

struct Result {
    int status;
    std::string out, err;
};

// One run of the program; its output and reports are read from files.
inline Result Geocode(const std::string& args) {
    static int n = 0;
    std::string base = ::testing::TempDir() + "geocode_" + std::to_string(getpid()) + "_" + std::to_string(++n);
    std::string cmd = std::string(GEOCODE_BIN) + " " + args + " >" + base + ".out 2>" + base + ".err";
    int st = std::system(cmd.c_str());
    Result r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, Slurp(base + ".out"), Slurp(base + ".err")};
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

inline std::string Sample(const std::string& name) {
    return std::string(GEOCODE_DATA) + "/" + name;
}

inline size_t Lines(const std::string& s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

// The lookup service for a suite, as the service's own tests start it.
using lookupd::testing::Service;
using Samples = lookupd::testing::SharedService;

}  // namespace geocode_test
