// The service's HTTP front end: one event loop per thread, each accepting connections and
// answering their requests through RequestReader and Route. main runs it; a test can run it
// in its own process. On Linux the loops are io_uring's or
// epoll's own (server_linux.cpp, service/linux/), on Windows Asio's (server.cpp).
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/answer.h"

namespace lookupd {

struct Limits {
    // Each read and write, and the wait for the next request.
    std::chrono::steady_clock::duration readTimeout = std::chrono::seconds(5);
    // A whole request, from its first byte to the last of the answer.
    std::chrono::steady_clock::duration deadline = std::chrono::seconds(10);
    unsigned keepAliveMax = 1000;
};

struct Loop;

class Server {
public:
    // More loops than this would only wait for cores they cannot have.
    static constexpr size_t kMaxThreads = 256;

    // threads: 1 to kMaxThreads.
    Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Returns an empty string, or the system's reason why the address cannot be listened on.
    // Port 0 takes a free port; Port() tells which.
    std::string Listen(const std::string& host, int port);
    int Port() const { return m_port; }

    // After Listen: sets up every loop and starts their threads, which answer from then on.
    // Empty, or why the service cannot run (a descriptor, a ring or a thread the system
    // refuses); nothing is left running then.
    std::string Start();
    // After Start: waits until the service has stopped and every loop has drained.
    void Run();
    // After Run: empty, or why a loop could not go on (the service stopped with it).
    std::string Failure() const;
    // Thread-safe: closes the acceptors and lets the sessions drain.
    void RequestStop();
    // Called once by the first RequestStop.
    void OnStop(std::function<void()> fn) { m_onStop = std::move(fn); }

    // Where main waits for signals; it runs while Run does.
    boost::asio::io_context& MainContext();
    bool Stopping() const { return m_stopping; }
    const Answerer& GetAnswerer() const { return m_answerer; }
    const Limits& GetLimits() const { return m_limits; }
    bool Quiet() const { return m_quiet; }
    // How the loops wait for the network: "io_uring" or "epoll" on Linux, "Asio" elsewhere.
    const char* Io() const { return m_io; }

private:
    Loop& NextLoop();
    void Tick(Loop& loop);
    void Accept(Loop& loop);

    const Answerer& m_answerer;
    Limits m_limits;
    bool m_quiet;
    const char* m_io = "Asio";
    int m_port = 0;
    int m_listener = -1;  // Linux: the listening socket every loop waits on
    std::vector<std::unique_ptr<Loop>> m_loops;
    std::vector<std::thread> m_threads;  // the loops'
    std::thread m_signals;               // Linux: MainContext's
    size_t m_next = 0;
    std::atomic<bool> m_stopping{false};
    std::function<void()> m_onStop;
    mutable std::mutex m_failureMutex;
    std::string m_failure;
};

}  // namespace lookupd
