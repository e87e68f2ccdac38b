// The Linux front end's loops: what a connection is, and the rules its bytes follow whichever
// way they come and go (io_uring's completions or epoll's readiness).
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "service/front_end.h"
#include "service/routes.h"
#include "service/server.h"

namespace lookupd {

constexpr auto kTick = std::chrono::milliseconds(50);
constexpr size_t kReadChunk = 4096;
// Bytes a connection may hold unparsed before they are parsed: a client cannot make it hold
// more by sending faster than it is read. Far beyond any request the reader accepts.
constexpr size_t kMaxHeld = 64 * 1024;

// One connection: the bytes in, the request being read, and the answer being written.
struct Conn {
    explicit Conn(int socket) : fd(socket) {}
    int fd;
    std::string in;
    RequestReader reader;
    std::string out;
    size_t sent = 0;
    bool keepAlive = false;
    Clock::time_point expiry = Clock::time_point::max();  // of the pending read or write
    std::optional<Clock::time_point> started;             // set once the request's first byte is in
    unsigned served = 0;
    bool eof = false;      // epoll: the client has sent all it will
    bool busy = false;     // io_uring: a receive or a send of it is under way
    bool closing = false;  // io_uring: closed, and freed once that operation is back
};

// What a connection waits for once its bytes have been answered as far as they go.
enum class Next { kRead, kWrite, kClose };

struct Loop {
    int wake = -1;  // an eventfd: the stop comes through it
    std::unordered_set<Conn*> conns;
    Clock::time_point nextTick = Clock::now() + kTick;
    // Signals are taken on an Asio context of their own (see MainContext), kept running by
    // its work until the loops have ended.
    boost::asio::io_context signals{1};
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
};

// A connection's life apart from how its bytes come and go: requests into answers, the
// keep-alive decision, time-outs and the stop. Close is the loop's own.
class LoopRunner {
public:
    LoopRunner(Server& server, Loop& loop, int listener) : m_server(server), m_loop(loop), m_listener(listener) {}
    // Closes what connections a loop that could not go on still has.
    virtual ~LoopRunner();
    // Until the stop has come and every connection is done: empty. Otherwise why the loop could
    // not go on (its wait for the system failed).
    virtual std::string Run() = 0;

protected:
    virtual void Close(Conn& c) = 0;
    // Waits for connections again after running out of descriptors.
    virtual void Listen() = 0;

    // A new connection, or null (its descriptor closed) where it cannot be set up.
    Conn* Adopt(int fd);
    // Each read and write waits at most the read time-out, and never past the request's deadline.
    void Arm(Conn& c);
    void Received(Conn& c, const char* data, size_t n);
    // Answers the next complete request the bytes hold: kWrite with the answer in c.out.
    Next Serve(Conn& c);
    // Once the answer is all out: false when the connection is to be closed, true when it
    // waits for the next request.
    bool Answered(Conn& c);
    // The stop: no new connections here; a connection waiting for its next request is closed,
    // one in the middle of a request finishes it first.
    void Stop();
    // Time-outs are checked by one tick per loop rather than a timer per read and write.
    void Tick();
    // Milliseconds to the next tick, at least 1.
    int ToTick() const;

    Server& m_server;
    Loop& m_loop;
    int m_listener;
    bool m_stop = false;
    bool m_listening = false;

private:
    void Answer(Conn& c, const HttpReply& reply, bool keepAlive);
};

// A loop set up on this thread, on io_uring or on epoll: null with why where the system refuses
// what it needs (the ring, the epoll set).
std::unique_ptr<LoopRunner> MakeUringLoop(Server& server, Loop& loop, int listener, std::string& why);
std::unique_ptr<LoopRunner> MakeEpollLoop(Server& server, Loop& loop, int listener, std::string& why);

}  // namespace lookupd
