// The loop on io_uring: completions. A round submits what the last one queued and takes what
// has finished, in one system call for every receive and send, where epoll takes a call for
// each: on a virtual machine each call costs as much as the answer.
#include <liburing.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "service/linux/loop_runner.h"

namespace lookupd {

namespace {

// Each connection has at most one operation under way, a receive or a send: while an answer
// goes out, the next request waits in the socket, as it would in the client's own buffer.
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
            return std::string("io_uring_queue_init_params: ") + std::strerror(-e);
        m_ready = true;
        // Receives take a buffer from the loop's pool only when bytes arrive, so an idle
        // connection holds none.
        void* ring =
            mmap(nullptr, kBuffers * sizeof(io_uring_buf), PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
        if (ring == MAP_FAILED)
            return std::string("mmap: ") + std::strerror(errno);
        m_bufRing = static_cast<io_uring_buf_ring*>(ring);
        io_uring_buf_reg reg{};
        reg.ring_addr = reinterpret_cast<uintptr_t>(m_bufRing);
        reg.ring_entries = kBuffers;
        reg.bgid = kGroup;
        if (const int e = io_uring_register_buf_ring(&m_ring, &reg, 0); e != 0)
            return std::string("io_uring_register_buf_ring: ") + std::strerror(-e);
        io_uring_buf_ring_init(m_bufRing);
        m_buffers.reset(new char[kBuffers * kReadChunk]);
        for (unsigned i = 0; i < kBuffers; ++i)
            Recycle(i);
        // The stop comes as the wake's read; the queue is empty, so that it cannot be refused.
        if (!Queue(kWake, nullptr, [this](io_uring_sqe* s) { io_uring_prep_read(s, m_loop.wake, &m_wakeValue, 8, 0); }))
            return "io_uring_get_sqe: no room for the wake";
        return {};
    }

    std::string Run() override {
        Listen();
        while (!(m_stop && m_loop.conns.empty() && m_inFlight == 0)) {
            const int ms = ToTick();
            __kernel_timespec ts{ms / 1000, (ms % 1000) * 1000000LL};
            io_uring_cqe* cqe = nullptr;
            // -ETIME: the tick is due; -EINTR: a signal; -EAGAIN, -EBUSY: the completions below
            // are to be taken first. Anything else ends the loop: it could only spin.
            const int e = io_uring_submit_and_wait_timeout(&m_ring, &cqe, 1, &ts, nullptr);
            if (e < 0 && e != -ETIME && e != -EINTR && e != -EAGAIN && e != -EBUSY)
                return std::string("io_uring_submit_and_wait_timeout: ") + std::strerror(-e);
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
                // sure, since the loop cannot end while one is under way (and where it cannot be
                // queued, the shutdown has to do).
                if (m_listening)
                    Queue(kCancel, nullptr, [](io_uring_sqe* s) { io_uring_prep_cancel64(s, kAccept, 0); });
            }
            if (Clock::now() >= m_loop.nextTick)
                Tick();
        }
        return {};
    }

private:
    static constexpr unsigned kEntries = 1024;
    static constexpr unsigned kBuffers = 64;
    static constexpr int kGroup = 0;
    // An operation's kind rides in the low bits of its connection's address.
    enum Op : uint64_t { kAccept = 1, kWake = 2, kCancel = 3, kRecv = 4, kSend = 5 };

    // False where the submission queue has no room even once handed to the kernel.
    template <typename Prep>
    bool Queue(Op op, Conn* c, Prep prep) {
        io_uring_sqe* s = io_uring_get_sqe(&m_ring);
        if (!s && io_uring_submit(&m_ring) >= 0)  // the queue is full: hand it to the kernel now
            s = io_uring_get_sqe(&m_ring);
        if (!s)
            return false;
        prep(s);
        io_uring_sqe_set_data64(s, reinterpret_cast<uint64_t>(c) | op);
        ++m_inFlight;
        if (c)
            c->busy = true;
        return true;
    }

    // Where the accept cannot be queued, the next tick tries again.
    void Listen() override {
        m_listening = Queue(kAccept, nullptr, [this](io_uring_sqe* s) {
            io_uring_prep_accept(s, m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        });
    }
    // A connection whose receive or send cannot be queued is closed.
    void QueueRecv(Conn& c) {
        if (!Queue(kRecv, &c, [&c](io_uring_sqe* s) {
                io_uring_prep_recv(s, c.fd, nullptr, kReadChunk, 0);
                s->flags |= IOSQE_BUFFER_SELECT;
                s->buf_group = kGroup;
            }))
            Close(c);
    }
    void QueueSend(Conn& c) {
        if (!Queue(kSend, &c, [&c](io_uring_sqe* s) {
                io_uring_prep_send(s, c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            }))
            Close(c);
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
                    if (Conn* c = Adopt(cqe.res))
                        QueueRecv(*c);
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
            // Ends its operation at once; freed when that is back. Where the shutdown is
            // refused, the operation is cancelled.
            if (shutdown(c.fd, SHUT_RDWR) != 0)
                Queue(kCancel, nullptr, [&c](io_uring_sqe* s) { io_uring_prep_cancel_fd(s, c.fd, 0); });
            return;
        }
        Free(c);
    }

    void Free(Conn& c) {
        close(c.fd);  // a FIN after what was sent, as shutdown would; the descriptor is gone whatever it says
        delete &c;
    }

    io_uring m_ring{};
    bool m_ready = false;
    io_uring_buf_ring* m_bufRing = nullptr;
    std::unique_ptr<char[]> m_buffers;
    size_t m_inFlight = 0;
    uint64_t m_wakeValue = 0;
};

}  // namespace

std::unique_ptr<LoopRunner> MakeUringLoop(Server& server, Loop& loop, int listener, std::string& why) {
    auto uring = std::make_unique<UringLoop>(server, loop, listener);
    why = uring->Init();
    if (!why.empty())
        return nullptr;
    return uring;
}

}  // namespace lookupd
