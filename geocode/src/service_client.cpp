#include "service_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <thread>

namespace geocode {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

struct ServiceClient::Impl {
    std::string host, port;
    std::chrono::milliseconds timeout;
    net::io_context ioc;
    beast::tcp_stream stream{ioc};
    tcp::resolver::results_type endpoints;
    beast::flat_buffer buffer;
    bool connected = false;

    // Runs the operation started on the loop; the stream's expiry closes the socket when the
    // time is up, which ends the operation with an error, so this never waits longer.
    void Run() {
        ioc.restart();
        ioc.run();
    }

    void Close() {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
        buffer.clear();
        connected = false;
    }

    bool Once(const std::string& target, int& status, std::string& body, std::string& code, std::string& err) {
        beast::error_code ec;
        if (endpoints.empty()) {
            tcp::resolver resolver(ioc);
            endpoints = resolver.resolve(host, port, ec);
            if (ec) {
                err = "cannot resolve " + host + ": " + ec.message();
                return false;
            }
        }
        if (!connected) {
            stream.expires_after(timeout);
            stream.async_connect(endpoints, [&](beast::error_code e, const tcp::endpoint&) { ec = e; });
            Run();
            if (ec) {
                err = "cannot connect to " + host + ":" + port + ": " + ec.message();
                Close();
                return false;
            }
            connected = true;
        }
        http::request<http::empty_body> req{http::verb::get, target, 11};
        req.set(http::field::host, host + ":" + port);
        req.keep_alive(true);
        stream.expires_after(timeout);
        http::async_write(stream, req, [&](beast::error_code e, size_t) { ec = e; });
        Run();
        if (ec) {
            err = "sending to " + host + ":" + port + ": " + ec.message();
            Close();
            return false;
        }
        http::response<http::string_body> res;
        stream.expires_after(timeout);
        http::async_read(stream, buffer, res, [&](beast::error_code e, size_t) { ec = e; });
        Run();
        if (ec) {
            err = "reading from " + host + ":" + port + ": " + ec.message();
            Close();
            return false;
        }
        if (!res.keep_alive())
            Close();
        status = res.result_int();
        if (status == 502 || status == 503 || status == 504) {
            err = host + ":" + port + " answered " + std::to_string(status);
            Close();
            return false;
        }
        body = std::move(res.body());
        code = std::string(res["X-District-Code"]);
        return true;
    }
};

ServiceClient::ServiceClient(std::string host, std::string port, int timeoutMs) : m_impl(new Impl) {
    m_impl->host = std::move(host);
    m_impl->port = std::move(port);
    m_impl->timeout = std::chrono::milliseconds(timeoutMs);
}

ServiceClient::~ServiceClient() {
    m_impl->Close();
}

bool ServiceClient::Get(const std::string& target, int& status, std::string& body, std::string& err) {
    std::string code;
    return Get(target, status, body, code, err);
}

bool ServiceClient::Get(const std::string& target,
                        int& status,
                        std::string& body,
                        std::string& code,
                        std::string& err) {
    for (int t = 0; t < kTries; ++t) {
        if (t > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50 * t));
        if (m_impl->Once(target, status, body, code, err))
            return true;
    }
    err += " (" + std::to_string(kTries) + " tries)";
    return false;
}

}  // namespace geocode
