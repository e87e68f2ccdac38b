// The part of the front end that needs no network, so that it can be tested and fuzzed on its
// own: a connection's bytes into a request or a refusal, and a request's answer.
#pragma once

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "service/answer.h"

namespace lookupd {

struct HttpReply {
    int status;
    std::string body;
    const char* contentType;
    // Sent as X-District-Code where not 0: the batch tool's codes through the service. The
    // program reads only Content-Length, so the extra line changes nothing for it.
    uint32_t districtCode = 0;
    // Sent with Access-Control-Allow-Origin: *, so that a page from anywhere may ask.
    bool anyOrigin = false;
    // Sent as Content-Security-Policy where set: the map page's routes.
    const char* policy = nullptr;
};

// Longer targets are refused with 414 before any parsing.
constexpr size_t kMaxTarget = 8192;

// A request's byte budget, 16 KiB: its header, and a body (which no route reads).
constexpr std::uint32_t kHeaderBytes = 12 * 1024;
constexpr std::uint64_t kBodyBytes = 4 * 1024;

// Splits a query text into decoded parameters (%XX and '+' as a blank), in order.
std::multimap<std::string, std::string> ParseQuery(std::string_view query);

// One request read from a connection's bytes by Beast's parser within the byte budget: the
// session feeds it what it reads, the fuzz target raw bytes.
class RequestReader {
public:
    enum class State { kNeedMore, kDone, kRefused };
    using Request = boost::beast::http::request<boost::beast::http::string_body>;

    RequestReader() { Reset(); }
    // Ready for the next request of the connection.
    void Reset();
    // Parses from the front of bytes; used says how many it took (what follows a complete
    // request belongs to the next one).
    State Feed(std::string_view bytes, size_t& used);
    // After kDone.
    const Request& Get() const { return m_parser->get(); }
    // After kRefused: 400, 413 or 414, to be sent before the connection is closed.
    const HttpReply& Refusal() const { return m_refusal; }

private:
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_parser;
    HttpReply m_refusal{0, std::string(), "text/plain"};
};

// The answer's status line and fields, written by hand into a string kept from one request to
// the next: Beast's serializer and header fields cost more than the answer itself. Fields in
// the order the program has always been sent them.
void PutReplyHead(std::string& out, const HttpReply& reply, bool keepAlive);

// The request's line on standard error: method, target (cut at 200 bytes), status and the
// microseconds from its first byte (-1 where none came).
void LogRequest(std::string_view method, std::string_view target, int status, long long us);

// method and target as they came in the request line. ready: the index is loaded and the
// service is not stopping (only /healthz tells the difference).
HttpReply Route(const Answerer& answerer, std::string_view method, std::string_view target, bool ready);

}  // namespace lookupd
