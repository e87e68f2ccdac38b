#include "core/socket_compat.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace net {

namespace {

int Fd(socket_t s) {
    return static_cast<int>(s);
}

socket_t Handle(int fd) {
    return fd < 0 ? kInvalidSocket : static_cast<socket_t>(fd);
}

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

}  // namespace

socket_t OpenTcp() {
    // Without a protocol database the TCP number itself will do.
    const protoent* protocol = getprotobyname("tcp");
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol ? protocol->p_proto : IPPROTO_TCP);
    if (fd == 0) {
        // Keep clear of descriptor 0, which means "no socket" to callers.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = moved;
    }
    return Handle(fd);
}

int Close(socket_t s) {
    return close(Fd(s));
}

int Send(socket_t s, const char* data, int length) {
    // A peer that has gone away must not kill the process with SIGPIPE.
    return static_cast<int>(send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int Recv(socket_t s, char* buffer, int size) {
    ssize_t n;
    do {
        n = recv(Fd(s), buffer, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int SetTimeout(socket_t s, bool forSend, int milliseconds) {
    timeval value{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return setsockopt(Fd(s), SOL_SOCKET, forSend ? SO_SNDTIMEO : SO_RCVTIMEO, &value, sizeof(value));
}

const hostent* Resolve(const char* host) {
    return gethostbyname(host);
}

bool FirstAddress(const hostent* entry, unsigned char address[4]) {
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list[0])
        return false;
    std::memcpy(address, entry->h_addr_list[0], 4);
    return true;
}

int Connect(socket_t s, const unsigned char address[4], int port, int timeoutMs) {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    std::memcpy(&peer.sin_addr, address, 4);
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&peer);
    const int fd = Fd(s);
    if (timeoutMs <= 0)
        return connect(fd, addr, sizeof(peer)) == 0 ? 0 : -1;

    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    int result = -1;
    if (connect(fd, addr, sizeof(peer)) == 0) {
        result = 0;
    } else if (errno == EINPROGRESS && WaitFor(fd, POLLOUT, timeoutMs)) {
        int error = 0;
        socklen_t length = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
            result = 0;
    }
    if (fcntl(fd, F_SETFL, flags) < 0)
        return -1;
    return result;
}

socket_t ListenLoopback(int port, int* boundPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return kInvalidSocket;
    int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return kInvalidSocket;
    }
    *boundPort = ntohs(address.sin_port);
    return Handle(fd);
}

bool WaitReadable(socket_t s, int timeoutMs) {
    return WaitFor(Fd(s), POLLIN, timeoutMs);
}

socket_t Accept(socket_t listener) {
    return Handle(accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC));
}

void ShutdownSend(socket_t s) {
    shutdown(Fd(s), SHUT_WR);
}

NetStartup::NetStartup() : m_ok(true) {}

NetStartup::~NetStartup() = default;

}  // namespace net
