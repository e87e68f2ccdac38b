#include "fake_http_peer.h"

#include <chrono>
#include <stdexcept>

static constexpr int kSliceMs = 20;

int FreeLoopbackPort() {
    int port = 0;
    net::socket_t s = net::ListenLoopback(0, &port);
    if (s == net::kInvalidSocket)
        return 0;
    net::Close(s);
    return port;
}

std::string Reply(const std::string& body, const std::string& status) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Letters(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

std::vector<FakeHttpPeer::Step> FakeHttpPeer::Trickle(const std::string& bytes, size_t pieceSize) {
    std::vector<Step> steps;
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        steps.push_back(Send(bytes.substr(at, pieceSize)));
        steps.push_back(Pause(1));
    }
    return steps;
}

FakeHttpPeer::FakeHttpPeer(std::vector<Step> script, int port) : m_script(std::move(script)) {
    m_listener = net::ListenLoopback(port, &m_port);
    if (m_listener == net::kInvalidSocket)
        throw std::runtime_error("fake peer: cannot listen on 127.0.0.1");
    m_thread = std::thread([this] { Serve(); });
}

FakeHttpPeer::~FakeHttpPeer() {
    Finish();
    net::Close(m_listener);
}

FakeHttpPeer& FakeHttpPeer::Finish() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    return *this;
}

void FakeHttpPeer::Serve() {
    // Accept the connection, looking at the stop flag between short waits.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (!net::WaitReadable(m_listener, kSliceMs)) {
        if (m_stop || std::chrono::steady_clock::now() >= deadline)
            return;
    }
    net::socket_t client = net::Accept(m_listener);
    if (client == net::kInvalidSocket)
        return;
    ++m_connections;
    net::SetTimeout(client, false, kWaitLimitMs);
    net::SetTimeout(client, true, kWaitLimitMs);
    char buffer[512];
    int n;
    while (m_request.find("\r\n\r\n") == std::string::npos && (n = net::Recv(client, buffer, sizeof(buffer))) > 0)
        m_request.append(buffer, static_cast<size_t>(n));
    for (const Step& step : m_script) {
        if (step.kind == Step::Send && net::Send(client, step.bytes.data(), static_cast<int>(step.bytes.size())) < 0)
            break;
        if (step.kind == Step::Pause)
            std::this_thread::sleep_for(std::chrono::milliseconds(step.milliseconds));
        if (step.kind != Step::StallUntilClientCloses)
            continue;
        // Hold the connection open, silent, until the client gives up.
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
        while (!m_clientClosed && std::chrono::steady_clock::now() < deadline)
            m_clientClosed = net::WaitReadable(client, kSliceMs) && net::Recv(client, buffer, sizeof(buffer)) <= 0;
        net::Close(client);
        return;
    }
    // An orderly end, seen by the client as a receive of 0.
    net::ShutdownSend(client);
    net::Close(client);
}
