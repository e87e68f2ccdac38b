// Turns a lookup request's parameters into the status and GBK text the program shows.
#pragma once

#include <map>
#include <string>

#include "index/place_index.h"

namespace lookupd {

struct Reply {
    int status;
    std::string body;   // GBK, at most kMaxBody bytes
    uint32_t code = 0;  // the named district's 6-digit division code, 0 for none
};

class Answerer {
public:
    // The program keeps at most this many body bytes.
    static constexpr size_t kMaxBody = 4095;

    explicit Answerer(const PlaceIndex& index) : m_index(index) {}

    // params: the decoded query parameters (first value of each key counts).
    Reply Answer(const std::multimap<std::string, std::string>& params) const;

private:
    const PlaceIndex& m_index;
};

}  // namespace lookupd
