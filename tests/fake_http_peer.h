// A scripted HTTP peer on 127.0.0.1, shared by the tests and the fuzz
// targets: it accepts one connection, records the request up to its empty
// line, plays the script of writes, pauses and stalls, and closes the
// connection. Every wait is bounded; the destructor joins the thread.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/socket_compat.h"

// A port on 127.0.0.1 that nothing listens on at the moment of asking; 0 when
// none could be had.
int FreeLoopbackPort();
// A whole reply whose Content-Length fits the body.
std::string Reply(const std::string& body, const std::string& status = "200 OK");
// The alphabet over and over: a piece out of place shows.
std::string Letters(size_t n);

class FakeHttpPeer {
public:
    struct Step {
        enum Kind { Send, Pause, StallUntilClientCloses } kind;
        std::string bytes;
        int milliseconds;
    };
    static Step Send(std::string bytes) { return {Step::Send, std::move(bytes), 0}; }
    static Step Pause(int ms) { return {Step::Pause, {}, ms}; }
    static Step Stall() { return {Step::StallUntilClientCloses, {}, 0}; }
    // The bytes, one write per piece of pieceSize bytes with a short pause between.
    static std::vector<Step> Trickle(const std::string& bytes, size_t pieceSize);

    // Port 0 takes a free port; a fixed one (for a client that cannot be told
    // the port) may be taken again by the next peer at once.
    explicit FakeHttpPeer(std::vector<Step> script, int port = 0);
    ~FakeHttpPeer();

    int port() const { return m_port; }
    // Each waits (bounded) until the peer has finished, then tells what it saw.
    std::string request() { return Finish().m_request; }
    int connections() { return Finish().m_connections; }
    // True when a Stall step saw the client close its side.
    bool clientClosed() { return Finish().m_clientClosed; }

    // How long any single wait of the peer may last.
    static constexpr int kWaitLimitMs = 5000;

private:
    void Serve();
    // Joins the thread: what it wrote is then safe to read.
    FakeHttpPeer& Finish();

    std::vector<Step> m_script;
    net::socket_t m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::string m_request;
    int m_connections = 0;
    bool m_clientClosed = false;
    std::thread m_thread;
};
