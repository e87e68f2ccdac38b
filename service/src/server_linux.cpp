// The front end on Linux: one epoll loop per thread, each answering the connections it accepted
// in full as soon as they are ready: read, route, write, in one pass over the ready list. Asio
// ran each step as a handler of its own, queued behind the next poll, and under keep-alive load
// that left a hundredth of the answers waiting several milliseconds.
#include "server.h"

#include <boost/asio/ip/tcp.hpp>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "routes.h"

namespace lookupd {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

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
    bool eof = false;  // the client has sent all it will
};

}  // namespace

struct Loop {
    int epoll = -1;
    int wake = -1;  // an eventfd: the stop comes through it
    std::unordered_set<Conn*> conns;
    bool listening = false;
    // Loop 0's: how many loops still wait on the listening socket; the last to stop closes it,
    // so that a connection after the stop is refused rather than left waiting.
    std::atomic<size_t> listeners{0};
    Clock::time_point nextTick = Clock::now() + kTick;
    // Signals are taken on an Asio context of their own (see MainContext).
    net::io_context signals{1};
};

namespace {

class LoopRunner {
public:
    LoopRunner(Server& server, Loop& loop, Loop& first, int listener)
        : m_server(server), m_loop(loop), m_first(first), m_listener(listener) {}

    void Run() {
        epoll_event events[256];
        while (!(m_stop && m_loop.conns.empty())) {
            const auto now = Clock::now();
            const int wait =
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.nextTick - now).count());
            const int n = epoll_wait(m_loop.epoll, events, 256, std::max(wait, 0) + 1);
            bool stop = false;
            for (int i = 0; i < n; ++i) {
                void* p = events[i].data.ptr;
                if (p == nullptr)
                    Accept();
                else if (p == &m_loop.wake)
                    stop = true;  // after this round: its other events may be connections it closes
                else
                    Ready(*static_cast<Conn*>(p), events[i].events);
            }
            if (stop && !m_stop)
                Stop();
            if (Clock::now() >= m_loop.nextTick)
                Tick();
        }
    }

private:
    const Limits& L() const { return m_server.GetLimits(); }

    void Accept() {
        // One at a time: each wake-up goes to one loop, and the next connection to whichever
        // loop is free to take it.
        if (m_stop)
            return;
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop listening until the next tick rather than spin.
                epoll_ctl(m_loop.epoll, EPOLL_CTL_DEL, m_listener, nullptr);
                m_loop.listening = false;
            }
            return;
        }
        // An answer longer than a segment must not wait for the client's delayed ACK.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto* c = new Conn(fd);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = c;
        if (epoll_ctl(m_loop.epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            delete c;
            return;
        }
        m_loop.conns.insert(c);
        Arm(*c);
    }

    // Each read and write waits at most the read time-out, and never past the request's deadline.
    void Arm(Conn& c) {
        Clock::time_point expiry = Clock::now() + L().readTimeout;
        if (c.started)
            expiry = std::min(expiry, *c.started + L().deadline);
        c.expiry = expiry;
    }

    void Ready(Conn& c, uint32_t events) {
        if (events & EPOLLERR)
            return Close(c);
        // While an answer goes out, the next request waits in the socket, as it would in the
        // client's own buffer.
        const bool wasWriting = !c.out.empty();
        if (wasWriting && !Flush(c))
            return;  // closed, or still writing
        if (!wasWriting && !(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)))
            return;  // only room to write, and nothing to write
        // Read and answer in turns until the socket is drained.
        for (;;) {
            const Got got = Read(c);
            if (got == Got::kClosed || !Serve(c) || got == Got::kDrained)
                return;
        }
    }

    enum class Got { kClosed, kDrained, kMore };

    // Reads what the socket holds, or kMaxHeld bytes where it holds more (kMore).
    Got Read(Conn& c) {
        for (;;) {
            if (c.in.size() >= kMaxHeld)
                return Got::kMore;
            const ssize_t n = recv(c.fd, m_chunk, sizeof m_chunk, 0);
            if (n > 0) {
                c.in.append(m_chunk, static_cast<size_t>(n));
                if (!c.started)
                    c.started = Clock::now();
                if (static_cast<size_t>(n) < sizeof m_chunk)
                    return Got::kDrained;
                continue;
            }
            if (n == 0) {
                c.eof = true;  // what came before the end is still answered
                return Got::kDrained;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return Got::kDrained;
            if (errno == EINTR)
                continue;
            Close(c);  // reset
            return Got::kClosed;
        }
    }

    // Answers every complete request the bytes hold, in order, while the answers go out whole.
    // True when the connection waits for more of a request; false when it is closed or an
    // answer is still going out.
    bool Serve(Conn& c) {
        for (;;) {
            if (m_stop && !c.started && c.in.empty()) {
                Close(c);  // idle between requests: nothing to finish
                return false;
            }
            size_t used = 0;
            const RequestReader::State state = c.reader.Feed(c.in, used);
            c.in.erase(0, used);
            if (state == RequestReader::State::kNeedMore) {
                if (c.eof) {
                    Close(c);  // a request left unfinished gets no answer
                    return false;
                }
                Arm(c);
                return true;
            }
            if (state == RequestReader::State::kRefused) {
                Log(c, "-", "-", c.reader.Refusal().status);
                if (!Send(c, c.reader.Refusal(), false))
                    return false;
                continue;
            }
            const auto& req = c.reader.Get();
            const std::string_view method(req.method_string().data(), req.method_string().size());
            const std::string_view target(req.target().data(), req.target().size());
            const HttpReply r = Route(m_server.GetAnswerer(), method, target, !m_server.Stopping());
            Log(c, method, target, r.status);
            ++c.served;
            const bool keepAlive = req.keep_alive() && c.served < L().keepAliveMax && !m_server.Stopping();
            if (!Send(c, r, keepAlive))
                return false;
        }
    }

    // Writes an answer; false when the connection is closed or the answer is still going out.
    bool Send(Conn& c, const HttpReply& reply, bool keepAlive) {
        c.out.clear();
        PutReplyHead(c.out, reply, keepAlive);
        c.out += reply.body;
        c.sent = 0;
        c.keepAlive = keepAlive;
        Arm(c);
        return Flush(c);
    }

    // Sends what is left of the answer; once it is out, the connection waits for the next
    // request or closes. False when closed or not yet all out.
    bool Flush(Conn& c) {
        while (c.sent < c.out.size()) {
            const ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (n > 0) {
                c.sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return false;  // EPOLLOUT brings the rest
            Close(c);
            return false;
        }
        c.out.clear();
        if (!c.keepAlive || m_server.Stopping()) {
            Close(c);
            return false;
        }
        c.reader.Reset();
        c.started.reset();
        if (!c.in.empty())
            c.started = Clock::now();  // the next request came with the last one
        Arm(c);
        return true;
    }

    void Close(Conn& c) {
        shutdown(c.fd, SHUT_WR);
        close(c.fd);  // leaves the epoll set with it
        m_loop.conns.erase(&c);
        delete &c;
    }

    // The stop: no new connections here; a connection waiting for its next request is closed,
    // one in the middle of a request finishes it first.
    void Stop() {
        uint64_t v;
        (void)!read(m_loop.wake, &v, sizeof v);
        m_stop = true;
        if (m_loop.listening) {
            epoll_ctl(m_loop.epoll, EPOLL_CTL_DEL, m_listener, nullptr);
            m_loop.listening = false;
        }
        if (m_first.listeners.fetch_sub(1) == 1)
            close(m_listener);
        std::vector<Conn*> all(m_loop.conns.begin(), m_loop.conns.end());
        for (Conn* c : all)
            if (!c->started && c->out.empty() && c->in.empty())
                Close(*c);
    }

    // Time-outs are checked by one tick per loop rather than a timer per read and write.
    void Tick() {
        const auto now = Clock::now();
        m_loop.nextTick = now + kTick;
        std::vector<Conn*> late;
        for (Conn* c : m_loop.conns)
            if (now >= c->expiry)
                late.push_back(c);
        for (Conn* c : late)
            Close(*c);
        if (!m_stop && !m_loop.listening) {
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLEXCLUSIVE;
            ev.data.ptr = nullptr;  // the listening socket
            m_loop.listening = epoll_ctl(m_loop.epoll, EPOLL_CTL_ADD, m_listener, &ev) == 0;
        }
    }

    void Log(const Conn& c, std::string_view method, std::string_view target, int status) {
        if (m_server.Quiet())
            return;
        LogRequest(
            method, target, status,
            c.started ? std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *c.started).count() : -1);
    }

    Server& m_server;
    Loop& m_loop;
    Loop& m_first;
    int m_listener;
    bool m_stop = false;
    char m_chunk[kReadChunk];
};

}  // namespace

Server::Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet)
    : m_answerer(answerer), m_limits(limits), m_quiet(quiet) {
    for (size_t i = 0; i < threads; ++i) {
        m_loops.push_back(std::make_unique<Loop>());
        m_loops.back()->epoll = epoll_create1(EPOLL_CLOEXEC);
        m_loops.back()->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
}

Server::~Server() {
    for (auto& l : m_loops) {
        close(l->epoll);
        close(l->wake);
    }
    if (m_listener >= 0 && m_loops[0]->listeners > 0)
        close(m_listener);  // listened on, never run
}

std::string Server::Listen(const std::string& host, int port) {
    boost::system::error_code ec;
    auto address = net::ip::make_address(host, ec);
    if (ec)
        return "not an IP address";
    tcp::endpoint ep(address, static_cast<unsigned short>(port));
    net::io_context ioc;
    tcp::acceptor acceptor(ioc);
    acceptor.open(ep.protocol(), ec);
    if (!ec)
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(ep, ec);
    if (!ec)
        acceptor.listen(1024, ec);  // the program opens a connection per query: take bursts
    if (!ec)
        m_port = acceptor.local_endpoint(ec).port();
    if (!ec)
        acceptor.non_blocking(true, ec);
    if (ec)
        return ec.message();
    m_listener = acceptor.release(ec);
    // Every loop waits on the one listening socket; each new connection wakes one of them.
    for (auto& l : m_loops) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.ptr = nullptr;  // the listening socket
        if (epoll_ctl(l->epoll, EPOLL_CTL_ADD, m_listener, &ev) != 0)
            return "cannot wait for connections";
        l->listening = true;
        ++m_loops[0]->listeners;
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.ptr = &l->wake;
        epoll_ctl(l->epoll, EPOLL_CTL_ADD, l->wake, &wake);
    }
    return {};
}

void Server::Run() {
    // Signals are waited for on a thread of their own, the loops on the others.
    auto guard = net::make_work_guard(MainContext());
    std::thread signals([this] { MainContext().run(); });
    std::vector<std::thread> threads;
    for (size_t i = 1; i < m_loops.size(); ++i)
        threads.emplace_back([this, i] { LoopRunner(*this, *m_loops[i], *m_loops[0], m_listener).Run(); });
    LoopRunner(*this, *m_loops[0], *m_loops[0], m_listener).Run();
    for (std::thread& t : threads)
        t.join();
    guard.reset();
    signals.join();
}

void Server::RequestStop() {
    if (m_stopping.exchange(true))
        return;
    const uint64_t one = 1;
    for (auto& l : m_loops)
        (void)!write(l->wake, &one, sizeof one);
    if (m_onStop)
        m_onStop();
}

net::io_context& Server::MainContext() {
    return m_loops[0]->signals;
}

}  // namespace lookupd
