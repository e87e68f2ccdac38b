#include "service/linux/loop_runner.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace lookupd {

LoopRunner::~LoopRunner() {
    for (Conn* c : m_loop.conns) {
        close(c->fd);
        delete c;
    }
    m_loop.conns.clear();
}

Conn* LoopRunner::Adopt(int fd) {
    // An answer longer than a segment must not wait for the client's delayed ACK.
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        close(fd);
        return nullptr;
    }
    auto* c = new Conn(fd);
    m_loop.conns.insert(c);
    Arm(*c);
    return c;
}

void LoopRunner::Arm(Conn& c) {
    c.expiry = Expiry(m_server.GetLimits(), c.started);
}

void LoopRunner::Received(Conn& c, const char* data, size_t n) {
    c.in.append(data, n);
    if (!c.started)
        c.started = Clock::now();
}

Next LoopRunner::Serve(Conn& c) {
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
        LogServed(m_server, "-", "-", c.reader.Refusal().status, c.started);
        Answer(c, c.reader.Refusal(), false);
        return Next::kWrite;
    }
    const Response r = Respond(m_server, c.reader.Get(), c.started, c.served);
    Answer(c, r.reply, r.keepAlive);
    return Next::kWrite;
}

bool LoopRunner::Answered(Conn& c) {
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

void LoopRunner::Stop() {
    m_stop = true;
    std::vector<Conn*> all(m_loop.conns.begin(), m_loop.conns.end());
    for (Conn* c : all)
        if (!c->started && c->out.empty() && c->in.empty())
            Close(*c);
}

void LoopRunner::Tick() {
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

int LoopRunner::ToTick() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.nextTick - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0)) + 1;
}

void LoopRunner::Answer(Conn& c, const HttpReply& reply, bool keepAlive) {
    c.out.clear();
    PutReplyHead(c.out, reply, keepAlive);
    c.out += reply.body;
    c.sent = 0;
    c.keepAlive = keepAlive;
    Arm(c);
}

}  // namespace lookupd
