#include "net/socket_compat.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

namespace net {

int SockError() {
    return errno;
}

socket_t SockOpenTcp(int protocol) {
    socket_t s = socket(AF_INET, SOCK_STREAM, protocol);
    if (s == 0) {
        // Keep clear of descriptor 0, which means "no socket" to callers.
        socket_t moved = fcntl(s, F_DUPFD_CLOEXEC, 3);
        close(s);
        s = moved;
    }
    return s;
}

int SockClose(socket_t s) {
    return close(s);
}

int SockSend(socket_t s, const char* data, int length) {
    // A peer that has gone away must not kill the process with SIGPIPE.
    return static_cast<int>(send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int SockRecv(socket_t s, char* buffer, int size) {
    ssize_t n;
    do {
        n = recv(s, buffer, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int SockSetTimeout(socket_t s, bool forSend, int milliseconds) {
    timeval value{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return setsockopt(s, SOL_SOCKET, forSend ? SO_SNDTIMEO : SO_RCVTIMEO, &value, sizeof(value));
}

int SockConnect(socket_t s, const sockaddr_in& address, int timeoutMs) {
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&address);
    if (timeoutMs <= 0)
        return connect(s, addr, sizeof(address)) == 0 ? 0 : -1;

    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    int result = -1;
    if (connect(s, addr, sizeof(address)) == 0) {
        result = 0;
    } else if (errno == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&p, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof(error);
        if (ready > 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
            result = 0;
    }
    if (fcntl(s, F_SETFL, flags) < 0)
        return -1;
    return result;
}

NetStartup::NetStartup() : m_ok(true) {}

NetStartup::~NetStartup() = default;

}  // namespace net
