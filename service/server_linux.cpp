// The front end on Linux: one loop per thread, each answering the connections it accepted as
// soon as they are ready: read, route, write, in one pass over what the system reported.
//
// The loops use io_uring where the system allows it: one call per round submits every receive
// and send and collects every completion, where epoll takes a call for each receive and each
// send, and on a virtual machine each call costs as much as the answer. Where io_uring is
// refused (an older kernel, a sandbox's filter of system calls, or LOOKUPD_IO=epoll), they use
// epoll. Both share how a connection's bytes become answers and when it is cut.
#include "service/server.h"

#include <boost/asio/ip/tcp.hpp>

#include <liburing.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "service/routes.h"

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
    bool eof = false;      // epoll: the client has sent all it will
    bool busy = false;     // io_uring: a receive or a send of it is under way
    bool closing = false;  // io_uring: closed, and freed once that operation is back
};

// What a connection waits for once its bytes have been answered as far as they go.
enum class Next { kRead, kWrite, kClose };

bool UringRefused() {
    const char* io = std::getenv("LOOKUPD_IO");
    if (io && std::string_view(io) == "epoll")
        return true;
    io_uring ring;
    io_uring_params p{};
    p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    if (io_uring_queue_init_params(8, &ring, &p) < 0)
        return true;
    io_uring_queue_exit(&ring);
    return false;
}

}  // namespace

struct Loop {
    int wake = -1;  // an eventfd: the stop comes through it
    std::unordered_set<Conn*> conns;
    Clock::time_point nextTick = Clock::now() + kTick;
    // Signals are taken on an Asio context of their own (see MainContext).
    net::io_context signals{1};
};

namespace {

// A connection's life apart from how its bytes come and go: requests into answers, the
// keep-alive decision, time-outs and the stop. Close is the loop's own.
class LoopRunner {
public:
    LoopRunner(Server& server, Loop& loop, int listener) : m_server(server), m_loop(loop), m_listener(listener) {}
    virtual ~LoopRunner() = default;
    virtual void Run() = 0;

protected:
    virtual void Close(Conn& c) = 0;
    // Waits for connections again after running out of descriptors.
    virtual void Listen() = 0;

    const Limits& L() const { return m_server.GetLimits(); }

    Conn& Adopt(int fd) {
        // An answer longer than a segment must not wait for the client's delayed ACK.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto* c = new Conn(fd);
        m_loop.conns.insert(c);
        Arm(*c);
        return *c;
    }

    // Each read and write waits at most the read time-out, and never past the request's deadline.
    void Arm(Conn& c) {
        Clock::time_point expiry = Clock::now() + L().readTimeout;
        if (c.started)
            expiry = std::min(expiry, *c.started + L().deadline);
        c.expiry = expiry;
    }

    void Received(Conn& c, const char* data, size_t n) {
        c.in.append(data, n);
        if (!c.started)
            c.started = Clock::now();
    }

    // Answers the next complete request the bytes hold: kWrite with the answer in c.out.
    Next Serve(Conn& c) {
        size_t used = 0;
        const RequestReader::State state = c.reader.Feed(c.in, used);
        c.in.erase(0, used);
        if (state == RequestReader::State::kNeedMore) {
            if (c.eof)
                return Next::kClose;  // a request left unfinished gets no answer
            Arm(c);
            return Next::kRead;
        }
        if (state == RequestReader::State::kRefused) {
            Log(c, "-", "-", c.reader.Refusal().status);
            Answer(c, c.reader.Refusal(), false);
            return Next::kWrite;
        }
        const auto& req = c.reader.Get();
        const std::string_view method(req.method_string().data(), req.method_string().size());
        const std::string_view target(req.target().data(), req.target().size());
        const HttpReply r = Route(m_server.GetAnswerer(), method, target, !m_server.Stopping());
        Log(c, method, target, r.status);
        ++c.served;
        Answer(c, r, req.keep_alive() && c.served < L().keepAliveMax && !m_server.Stopping());
        return Next::kWrite;
    }

    // Once the answer is all out: false when the connection is to be closed, true when it
    // waits for the next request.
    bool Answered(Conn& c) {
        c.out.clear();
        if (!c.keepAlive || m_server.Stopping())
            return false;
        c.reader.Reset();
        c.started.reset();
        if (!c.in.empty())
            c.started = Clock::now();  // the next request came with the last one
        Arm(c);
        return true;
    }

    // The stop: no new connections here; a connection waiting for its next request is closed,
    // one in the middle of a request finishes it first.
    void Stop() {
        m_stop = true;
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
        if (!m_stop && !m_listening)
            Listen();
    }

    // Milliseconds to the next tick, at least 1.
    int ToTick() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.nextTick - Clock::now());
        return static_cast<int>(std::max<long long>(left.count(), 0)) + 1;
    }

    Server& m_server;
    Loop& m_loop;
    int m_listener;
    bool m_stop = false;
    bool m_listening = false;

private:
    void Answer(Conn& c, const HttpReply& reply, bool keepAlive) {
        c.out.clear();
        PutReplyHead(c.out, reply, keepAlive);
        c.out += reply.body;
        c.sent = 0;
        c.keepAlive = keepAlive;
        Arm(c);
    }

    void Log(const Conn& c, std::string_view method, std::string_view target, int status) {
        if (m_server.Quiet())
            return;
        LogRequest(
            method, target, status,
            c.started ? std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *c.started).count() : -1);
    }
};

// Completions: a round submits what the last one queued and takes what has finished. Each
// connection has at most one operation under way, a receive or a send: while an answer goes
// out, the next request waits in the socket, as it would in the client's own buffer.
class UringLoop final : public LoopRunner {
public:
    using LoopRunner::LoopRunner;
    ~UringLoop() override {
        if (m_ready)
            io_uring_queue_exit(&m_ring);
        if (m_bufRing)
            munmap(m_bufRing, kBuffers * sizeof(io_uring_buf));
    }

    // Empty, or why this thread cannot have a ring (the loop then runs on epoll).
    std::string Init() {
        io_uring_params p{};
        // Completions are worked through only when the loop asks for them, on its own thread.
        p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
        if (const int e = io_uring_queue_init_params(kEntries, &m_ring, &p); e < 0)
            return std::strerror(-e);
        m_ready = true;
        // Receives take a buffer from the loop's pool only when bytes arrive, so an idle
        // connection holds none.
        void* ring =
            mmap(nullptr, kBuffers * sizeof(io_uring_buf), PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
        if (ring == MAP_FAILED)
            return std::strerror(errno);
        m_bufRing = static_cast<io_uring_buf_ring*>(ring);
        io_uring_buf_reg reg{};
        reg.ring_addr = reinterpret_cast<uintptr_t>(m_bufRing);
        reg.ring_entries = kBuffers;
        reg.bgid = kGroup;
        if (const int e = io_uring_register_buf_ring(&m_ring, &reg, 0); e != 0)
            return std::strerror(-e);
        io_uring_buf_ring_init(m_bufRing);
        m_buffers.reset(new char[kBuffers * kReadChunk]);
        for (unsigned i = 0; i < kBuffers; ++i)
            Recycle(i);
        return {};
    }

    void Run() override {
        Listen();
        QueueWake();
        while (!(m_stop && m_loop.conns.empty() && m_inFlight == 0)) {
            const int ms = ToTick();
            __kernel_timespec ts{ms / 1000, (ms % 1000) * 1000000LL};
            io_uring_cqe* cqe = nullptr;
            io_uring_submit_and_wait_timeout(&m_ring, &cqe, 1, &ts, nullptr);  // -ETIME: the tick is due
            bool stop = false;
            unsigned head, n = 0;
            io_uring_for_each_cqe(&m_ring, head, cqe) {
                ++n;
                --m_inFlight;
                Complete(*cqe, stop);
            }
            io_uring_cq_advance(&m_ring, n);
            if (stop && !m_stop) {
                Stop();
                // The listening socket's shutdown ends a waiting accept already; the cancel makes
                // sure, since the loop cannot end while one is under way.
                if (m_listening)
                    Queue(kCancel, nullptr, [](io_uring_sqe* s) { io_uring_prep_cancel64(s, kAccept, 0); });
            }
            if (Clock::now() >= m_loop.nextTick)
                Tick();
        }
    }

private:
    static constexpr unsigned kEntries = 1024;
    static constexpr unsigned kBuffers = 64;
    static constexpr int kGroup = 0;
    // An operation's kind rides in the low bits of its connection's address.
    enum Op : uint64_t { kAccept = 1, kWake = 2, kCancel = 3, kRecv = 4, kSend = 5 };

    template <typename Prep>
    void Queue(Op op, Conn* c, Prep prep) {
        io_uring_sqe* s = io_uring_get_sqe(&m_ring);
        if (!s) {  // the queue is full: hand it to the kernel now
            io_uring_submit(&m_ring);
            s = io_uring_get_sqe(&m_ring);
        }
        prep(s);
        io_uring_sqe_set_data64(s, reinterpret_cast<uint64_t>(c) | op);
        ++m_inFlight;
        if (c)
            c->busy = true;
    }

    void Listen() override {
        Queue(kAccept, nullptr,
              [this](io_uring_sqe* s) { io_uring_prep_accept(s, m_listener, nullptr, nullptr, SOCK_CLOEXEC); });
        m_listening = true;
    }
    void QueueWake() {
        Queue(kWake, nullptr, [this](io_uring_sqe* s) { io_uring_prep_read(s, m_loop.wake, &m_wakeValue, 8, 0); });
    }
    void QueueRecv(Conn& c) {
        Queue(kRecv, &c, [&c](io_uring_sqe* s) {
            io_uring_prep_recv(s, c.fd, nullptr, kReadChunk, 0);
            s->flags |= IOSQE_BUFFER_SELECT;
            s->buf_group = kGroup;
        });
    }
    void QueueSend(Conn& c) {
        Queue(kSend, &c, [&c](io_uring_sqe* s) {
            io_uring_prep_send(s, c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        });
    }

    void Recycle(unsigned id) {
        io_uring_buf_ring_add(m_bufRing, m_buffers.get() + id * kReadChunk, kReadChunk, static_cast<unsigned short>(id),
                              io_uring_buf_ring_mask(kBuffers), 0);
        io_uring_buf_ring_advance(m_bufRing, 1);
    }

    void Complete(const io_uring_cqe& cqe, bool& stop) {
        Conn* c = reinterpret_cast<Conn*>(cqe.user_data & ~uint64_t{7});
        switch (static_cast<Op>(cqe.user_data & 7)) {
            case kAccept:
                m_listening = false;
                if (cqe.res >= 0 && m_stop)
                    close(cqe.res);  // came with the stop: as if it had come after
                else if (cqe.res >= 0) {
                    QueueRecv(Adopt(cqe.res));
                    Listen();
                }
                // Out of descriptors, or any other refusal: try again at the next tick, not now.
                break;
            case kWake:
                stop = true;  // after this round: its other completions may be connections it closes
                break;
            case kCancel:
                break;
            case kRecv:
                OnRecv(*c, cqe.res, cqe.flags);
                break;
            case kSend:
                OnSend(*c, cqe.res);
                break;
        }
    }

    void OnRecv(Conn& c, int res, uint32_t flags) {
        c.busy = false;
        if (flags & IORING_CQE_F_BUFFER) {
            const unsigned id = flags >> IORING_CQE_BUFFER_SHIFT;
            if (res > 0 && !c.closing)
                Received(c, m_buffers.get() + id * kReadChunk, static_cast<size_t>(res));
            Recycle(id);
        }
        if (c.closing)
            return Free(c);
        if (res == -ENOBUFS)
            return QueueRecv(c);  // every buffer was taken in this round; they are back now
        if (res <= 0)
            return Close(c);  // the end, or a reset: every complete request is answered by now
        Continue(c);
    }

    void OnSend(Conn& c, int res) {
        c.busy = false;
        if (c.closing)
            return Free(c);
        if (res <= 0)
            return Close(c);
        c.sent += static_cast<size_t>(res);
        if (c.sent < c.out.size())
            return QueueSend(c);
        if (!Answered(c))
            return Close(c);
        Continue(c);
    }

    void Continue(Conn& c) {
        switch (Serve(c)) {
            case Next::kRead:
                return QueueRecv(c);
            case Next::kWrite:
                return QueueSend(c);
            case Next::kClose:
                return Close(c);
        }
    }

    void Close(Conn& c) override {
        if (c.closing)
            return;
        c.closing = true;
        m_loop.conns.erase(&c);
        if (c.busy) {
            shutdown(c.fd, SHUT_RDWR);  // ends its operation at once; freed when that is back
            return;
        }
        Free(c);
    }

    void Free(Conn& c) {
        close(c.fd);  // a FIN after what was sent, as shutdown would
        delete &c;
    }

    io_uring m_ring{};
    bool m_ready = false;
    io_uring_buf_ring* m_bufRing = nullptr;
    std::unique_ptr<char[]> m_buffers;
    size_t m_inFlight = 0;
    uint64_t m_wakeValue = 0;
};

// Readiness: each ready connection is read, answered and written by direct calls.
class EpollLoop final : public LoopRunner {
public:
    EpollLoop(Server& server, Loop& loop, int listener) : LoopRunner(server, loop, listener) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.ptr = &m_loop.wake;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_loop.wake, &wake);
    }
    ~EpollLoop() override { close(m_epoll); }

    void Run() override {
        Listen();
        epoll_event events[256];
        while (!(m_stop && m_loop.conns.empty())) {
            const int n = epoll_wait(m_epoll, events, 256, ToTick());
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
            if (stop && !m_stop) {
                uint64_t v;
                (void)!read(m_loop.wake, &v, sizeof v);
                if (m_listening)
                    epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
                m_listening = false;
                Stop();
            }
            if (Clock::now() >= m_loop.nextTick)
                Tick();
        }
    }

private:
    void Listen() override {
        // Every loop waits on the one listening socket; each new connection wakes one of them.
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.ptr = nullptr;  // the listening socket
        m_listening = epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &ev) == 0;
    }

    void Accept() {
        // One at a time: each wake-up goes to one loop, and the next connection to whichever
        // loop is free to take it.
        if (m_stop)
            return;
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop listening until the next tick rather than spin.
                epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
                m_listening = false;
            }
            return;
        }
        Conn& c = Adopt(fd);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = &c;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
            Close(c);
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
            if (got == Got::kClosed)
                return;
            Next next;
            while ((next = Serve(c)) == Next::kWrite)
                if (!Flush(c))
                    return;  // closed, or still writing
            if (next == Next::kClose)
                return Close(c);
            if (got == Got::kDrained)
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
                Received(c, m_chunk, static_cast<size_t>(n));
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

    // Sends what is left of the answer. True once it is all out and the connection waits for
    // the next request; false when it is closed or EPOLLOUT is to bring the rest.
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
                return false;
            Close(c);
            return false;
        }
        if (Answered(c))
            return true;
        Close(c);
        return false;
    }

    void Close(Conn& c) override {
        close(c.fd);  // leaves the epoll set with it
        m_loop.conns.erase(&c);
        delete &c;
    }

    int m_epoll = -1;
    char m_chunk[kReadChunk];
};

void RunLoop(Server& server, Loop& loop, int listener) {
    if (server.Io() == std::string_view("io_uring")) {
        auto uring = std::make_unique<UringLoop>(server, loop, listener);
        const std::string why = uring->Init();
        if (why.empty())
            return uring->Run();
        std::fprintf(stderr, "lumeno-lookupd: a loop runs on epoll: io_uring refused its ring (%s)\n", why.c_str());
    }
    EpollLoop(server, loop, listener).Run();
}

}  // namespace

Server::Server(size_t threads, const Answerer& answerer, const Limits& limits, bool quiet)
    : m_answerer(answerer), m_limits(limits), m_quiet(quiet), m_io(UringRefused() ? "epoll" : "io_uring") {
    for (size_t i = 0; i < threads; ++i) {
        m_loops.push_back(std::make_unique<Loop>());
        m_loops.back()->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
}

Server::~Server() {
    for (auto& l : m_loops)
        close(l->wake);
    if (m_listener >= 0)
        close(m_listener);
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
    return {};
}

void Server::Run() {
    // Signals are waited for on a thread of their own, the loops on the others.
    auto guard = net::make_work_guard(MainContext());
    std::thread signals([this] { MainContext().run(); });
    std::vector<std::thread> threads;
    for (size_t i = 1; i < m_loops.size(); ++i)
        threads.emplace_back([this, i] { RunLoop(*this, *m_loops[i], m_listener); });
    RunLoop(*this, *m_loops[0], m_listener);
    for (std::thread& t : threads)
        t.join();
    guard.reset();
    signals.join();
}

void Server::RequestStop() {
    if (m_stopping.exchange(true))
        return;
    // A listening socket shut down refuses new connections at once, and every loop's wait
    // for one ends.
    if (m_listener >= 0)
        shutdown(m_listener, SHUT_RD);
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
