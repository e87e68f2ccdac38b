// The service's answer to one request line: the part of the front end that needs no network,
// so that it can be tested and fuzzed on its own.
#pragma once

#include <map>
#include <string>

#include "answer.h"

namespace lookupd {

struct HttpReply {
    int status;
    std::string body;
    const char* contentType;
};

// Longer targets are refused with 414 before any parsing.
constexpr size_t kMaxTarget = 8192;

// Splits a query text into decoded parameters (%XX and '+' as a blank), in order.
std::multimap<std::string, std::string> ParseQuery(const std::string& query);

// method and target as they came in the request line. ready: the index is loaded and the
// service is not stopping (only /healthz tells the difference).
HttpReply Route(const Answerer& answerer, const std::string& method, const std::string& target, bool ready);

}  // namespace lookupd
