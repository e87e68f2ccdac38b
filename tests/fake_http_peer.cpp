#include "fake_http_peer.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kSliceMs = 20;

// Waits up to ms for the socket to become readable; true when it is.
bool WaitReadable(net::socket_t s, int ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    return select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &wait) > 0;
}

}  // namespace

std::vector<FakeHttpPeer::Step> FakeHttpPeer::Trickle(const std::string& bytes, size_t pieceSize) {
    std::vector<Step> steps;
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        steps.push_back(Send(bytes.substr(at, pieceSize)));
        steps.push_back(Pause(1));
    }
    return steps;
}

FakeHttpPeer::FakeHttpPeer(std::vector<std::vector<Step>> scripts, int port) : m_scripts(std::move(scripts)) {
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listener == net::kInvalidSocket)
        throw std::runtime_error("fake peer: no socket");
    if (port != 0) {
        int reuse = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof(address);
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(m_listener, 4) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        net::SockClose(m_listener);
        throw std::runtime_error("fake peer: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

FakeHttpPeer::~FakeHttpPeer() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    net::SockClose(m_listener);
}

std::string FakeHttpPeer::request() {
    std::vector<std::string> all = requests();
    return all.empty() ? std::string() : all.back();
}

std::vector<std::string> FakeHttpPeer::requests() {
    Finish();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

int FakeHttpPeer::connections() {
    Finish();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

bool FakeHttpPeer::clientClosed() {
    Finish();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clientClosed;
}

void FakeHttpPeer::Finish() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void FakeHttpPeer::Serve() {
    for (const std::vector<Step>& script : m_scripts) {
        // Accept the next connection, looking at the stop flag between short waits.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
        while (!WaitReadable(m_listener, kSliceMs)) {
            if (m_stop || std::chrono::steady_clock::now() >= deadline)
                return;
        }
        net::socket_t client = accept(m_listener, nullptr, nullptr);
        if (client == net::kInvalidSocket)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_connections;
        }
        Play(client, script);
        net::SockClose(client);
    }
}

void FakeHttpPeer::Play(net::socket_t client, const std::vector<Step>& script) {
    net::SockSetTimeout(client, false, kWaitLimitMs);
    net::SockSetTimeout(client, true, kWaitLimitMs);
    std::string request;
    char buffer[512];
    while (request.find("\r\n\r\n") == std::string::npos) {
        int n = net::SockRecv(client, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        request.append(buffer, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
    }
    for (const Step& step : script) {
        switch (step.kind) {
            case Step::Send:
                if (net::SockSend(client, step.bytes.data(), static_cast<int>(step.bytes.size())) < 0)
                    return;
                break;
            case Step::Pause:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.milliseconds));
                break;
            case Step::StallUntilClientCloses: {
                // Hold the connection open, silent, until the client gives up.
                auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
                while (std::chrono::steady_clock::now() < deadline) {
                    if (WaitReadable(client, kSliceMs) && net::SockRecv(client, buffer, sizeof(buffer)) <= 0) {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_clientClosed = true;
                        return;
                    }
                }
                return;
            }
        }
    }
}
