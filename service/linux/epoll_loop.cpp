// The loop on epoll, where io_uring is refused: readiness, and a system call for each receive
// and each send.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "service/linux/loop_runner.h"

namespace lookupd {

namespace {

// Readiness: each ready connection is read, answered and written by direct calls.
class EpollLoop final : public LoopRunner {
public:
    using LoopRunner::LoopRunner;
    ~EpollLoop() override {
        if (m_epoll >= 0)
            close(m_epoll);
    }

    // Empty, or why the loop cannot have its epoll set.
    std::string Init() {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0)
            return std::string("epoll_create1: ") + std::strerror(errno);
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.ptr = &m_loop.wake;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_loop.wake, &wake) != 0)
            return std::string("epoll_ctl: ") + std::strerror(errno);
        return {};
    }

    std::string Run() override {
        Listen();
        epoll_event events[256];
        while (!(m_stop && m_loop.conns.empty())) {
            const int n = epoll_wait(m_epoll, events, 256, ToTick());
            if (n < 0 && errno != EINTR)
                return std::string("epoll_wait: ") + std::strerror(errno);  // it could only spin
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
                // Neither the wake nor the listening socket is to wake this loop again.
                uint64_t v;
                if (read(m_loop.wake, &v, sizeof v) != sizeof v)
                    Unwatch(m_loop.wake);
                if (m_listening && Unwatch(m_listener))
                    m_listening = false;
                Stop();
            }
            if (Clock::now() >= m_loop.nextTick)
                Tick();
        }
        return {};
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
            // Out of descriptors: stop listening until the next tick rather than spin.
            if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) && Unwatch(m_listener))
                m_listening = false;
            return;
        }
        Conn* c = Adopt(fd);
        if (!c)
            return;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = c;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
            Close(*c);
    }

    // True once fd is out of the set.
    bool Unwatch(int fd) { return epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr) == 0; }

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
        const bool peerDone = events & (EPOLLRDHUP | EPOLLHUP);
        for (;;) {
            const Got got = Read(c, peerDone);
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

    // Reads what the socket holds, or kMaxHeld bytes where it holds more (kMore). peerDone: the
    // client has closed its side, so that the end is read too: being edge-triggered, no
    // further event would tell of it, and the connection would wait for its read time-out.
    Got Read(Conn& c, bool peerDone) {
        for (;;) {
            if (c.in.size() >= kMaxHeld)
                return Got::kMore;
            const ssize_t n = recv(c.fd, m_chunk, sizeof m_chunk, 0);
            if (n > 0) {
                Received(c, m_chunk, static_cast<size_t>(n));
                if (static_cast<size_t>(n) < sizeof m_chunk && !peerDone)
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

}  // namespace

std::unique_ptr<LoopRunner> MakeEpollLoop(Server& server, Loop& loop, int listener, std::string& why) {
    auto epoll = std::make_unique<EpollLoop>(server, loop, listener);
    why = epoll->Init();
    if (!why.empty())
        return nullptr;
    return epoll;
}

}  // namespace lookupd
