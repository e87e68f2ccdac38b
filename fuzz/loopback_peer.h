// The HTTP peer of the fuzz targets: it listens on 127.0.0.1, answers the next
// connection with the fuzzer's bytes and then closes its write side, so the
// client sees exactly those bytes followed by an orderly close. Every wait is
// bounded, so a client that stops reading cannot hang a run.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class LoopbackPeer {
public:
    // Aborts when it cannot listen: no input could be tried without it.
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int port() const { return m_port; }

    // Accepts the next connection (waiting at most timeoutMs), writes all of
    // bytes and shuts down the write side. False when no client came.
    bool Answer(const std::string& bytes, int timeoutMs);
    // Reads what the client sent until it closes (or timeoutMs passes), then
    // closes the connection. Draining first means the close sends no reset.
    void Finish(int timeoutMs);

private:
    int m_listener = -1;
    int m_port = 0;
    int m_connection = -1;
};

// The same peer on a thread of its own, for a client call that connects,
// sends and reads in one go.
class LoopbackPeerThread {
public:
    explicit LoopbackPeerThread(int timeoutMs);
    ~LoopbackPeerThread();
    LoopbackPeerThread(const LoopbackPeerThread&) = delete;
    LoopbackPeerThread& operator=(const LoopbackPeerThread&) = delete;

    int port() const { return m_peer.port(); }
    // Starts serving bytes to the next connection.
    void Serve(std::string bytes);
    // Waits until that connection is answered and closed.
    void Wait();

private:
    void Run();

    LoopbackPeer m_peer;
    const int m_timeoutMs;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_bytes;
    bool m_pending = false;
    bool m_stop = false;
    std::thread m_thread;
};
