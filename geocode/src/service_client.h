// GET requests to a lookup service over one kept-alive HTTP connection.
#pragma once

#include <memory>
#include <string>

namespace geocode {

class ServiceClient {
public:
    // host and port of the service (or of nginx in front of replicas); each try of a request
    // (connect, send, receive) is bounded by timeoutMs.
    ServiceClient(std::string host, std::string port, int timeoutMs);
    ~ServiceClient();
    ServiceClient(const ServiceClient&) = delete;
    ServiceClient& operator=(const ServiceClient&) = delete;

    // The status and body of GET target, and the answer's X-District-Code (empty without
    // one). A try that fails (refused, reset, timed out, 502, 503 or 504) is made again on a
    // new connection, three tries in all; false and `err` when none succeeded.
    bool Get(const std::string& target, int& status, std::string& body, std::string& err);
    bool Get(const std::string& target, int& status, std::string& body, std::string& code, std::string& err);

    static constexpr int kTries = 3;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace geocode
