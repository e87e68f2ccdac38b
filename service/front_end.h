// What the two front ends (Linux's loops, Windows's Asio) do alike around a connection: the
// listening socket, how long a read or write may wait, a request's answer and log line, and
// whether the connection is kept for the next request.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "service/routes.h"
#include "service/server.h"

namespace lookupd {

using Clock = std::chrono::steady_clock;

// Each platform's rule for a listening socket, set between opening and binding it: on Linux a
// restart takes the port back at once, whatever connections of the last run linger; on Windows
// nobody else may take the port while the service holds it. In server_linux.cpp and server.cpp.
void ClaimPort(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

// Opens, binds and listens on host:port; bound says the port (port 0 takes a free one). Empty,
// or why not: "not an IP address" or the system's reason.
std::string OpenListener(boost::asio::ip::tcp::acceptor& acceptor, const std::string& host, int port, int& bound);

// When the pending read or write runs out: at the read time-out, never past the request's
// deadline (counted from its first byte, once it came).
Clock::time_point Expiry(const Limits& limits, const std::optional<Clock::time_point>& started);

struct Response {
    HttpReply reply;
    bool keepAlive;  // the connection waits for another request once this answer is out
};

// A complete request's answer, its line in the log, and the keep-alive rule: the client asked,
// the connection has had fewer than Limits::keepAliveMax answers (served counts them), and
// the server is not stopping (a loop or session is told to stop only after the server is).
Response Respond(const Server& server,
                 const RequestReader::Request& req,
                 const std::optional<Clock::time_point>& started,
                 unsigned& served);

// A request's line in the log unless the service is quiet; method and target "-" for a refusal.
void LogServed(const Server& server,
               std::string_view method,
               std::string_view target,
               int status,
               const std::optional<Clock::time_point>& started);

}  // namespace lookupd
