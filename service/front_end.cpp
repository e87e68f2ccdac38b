#include "service/front_end.h"

#include <algorithm>

namespace lookupd {

namespace net = boost::asio;
using tcp = net::ip::tcp;

std::string OpenListener(tcp::acceptor& acceptor, const std::string& host, int port, int& bound) {
    boost::system::error_code ec;
    const net::ip::address address = net::ip::make_address(host, ec);
    if (ec)
        return "not an IP address";
    const tcp::endpoint ep(address, static_cast<unsigned short>(port));
    acceptor.open(ep.protocol(), ec);
    if (!ec)
        ClaimPort(acceptor, ec);
    if (!ec)
        acceptor.bind(ep, ec);
    if (!ec)
        acceptor.listen(1024, ec);  // the program opens a connection per query: take bursts
    if (!ec)
        bound = acceptor.local_endpoint(ec).port();
    return ec ? ec.message() : std::string();
}

Clock::time_point Expiry(const Limits& limits, const std::optional<Clock::time_point>& started) {
    const Clock::time_point expiry = Clock::now() + limits.readTimeout;
    return started ? std::min(expiry, *started + limits.deadline) : expiry;
}

Response Respond(const Server& server,
                 const RequestReader::Request& req,
                 const std::optional<Clock::time_point>& started,
                 unsigned& served) {
    const std::string_view method(req.method_string().data(), req.method_string().size());
    const std::string_view target(req.target().data(), req.target().size());
    const bool stopping = server.Stopping();
    ++served;
    Response r{Route(server.GetAnswerer(), method, target, !stopping),
               req.keep_alive() && served < server.GetLimits().keepAliveMax && !stopping};
    LogServed(server, method, target, r.reply.status, started);
    return r;
}

void LogServed(const Server& server,
               std::string_view method,
               std::string_view target,
               int status,
               const std::optional<Clock::time_point>& started) {
    if (server.Quiet())
        return;
    LogRequest(method, target, status,
               started ? std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *started).count() : -1);
}

}  // namespace lookupd
