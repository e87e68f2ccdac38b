#include "loopback_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

}  // namespace

LoopbackPeer::LoopbackPeer() {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(m_listener, 8) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("loopback peer: cannot listen on 127.0.0.1");
        std::abort();
    }
    m_port = ntohs(address.sin_port);
}

LoopbackPeer::~LoopbackPeer() {
    Finish(0);
    close(m_listener);
}

bool LoopbackPeer::Answer(const std::string& bytes, int timeoutMs) {
    Finish(0);
    if (!WaitFor(m_listener, POLLIN, timeoutMs))
        return false;
    m_connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_connection < 0)
        return false;
    size_t sent = 0;
    while (sent < bytes.size() && WaitFor(m_connection, POLLOUT, timeoutMs)) {
        // A client that has already closed must not kill the run with SIGPIPE.
        ssize_t n = send(m_connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
    shutdown(m_connection, SHUT_WR);
    return true;
}

void LoopbackPeer::Finish(int timeoutMs) {
    if (m_connection < 0)
        return;
    char scratch[512];
    while (WaitFor(m_connection, POLLIN, timeoutMs)) {
        ssize_t n = recv(m_connection, scratch, sizeof(scratch), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
    }
    close(m_connection);
    m_connection = -1;
}

LoopbackPeerThread::LoopbackPeerThread(int timeoutMs) : m_timeoutMs(timeoutMs), m_thread([this] { Run(); }) {}

LoopbackPeerThread::~LoopbackPeerThread() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void LoopbackPeerThread::Serve(std::string bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes = std::move(bytes);
    m_pending = true;
    m_changed.notify_all();
}

void LoopbackPeerThread::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_pending; });
}

void LoopbackPeerThread::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_pending || m_stop; });
        if (m_stop)
            return;
        std::string bytes = m_bytes;
        lock.unlock();
        if (m_peer.Answer(bytes, m_timeoutMs))
            m_peer.Finish(m_timeoutMs);
        lock.lock();
        m_pending = false;
        m_changed.notify_all();
    }
}
