#include "net/socket_compat.h"

namespace net {

int SockError() {
    return WSAGetLastError();
}

socket_t SockOpenTcp(int protocol) {
    return socket(AF_INET, SOCK_STREAM, protocol);
}

int SockClose(socket_t s) {
    return closesocket(s);
}

int SockSend(socket_t s, const char* data, int length) {
    return send(s, data, length, 0);
}

int SockRecv(socket_t s, char* buffer, int size) {
    return recv(s, buffer, size, 0);
}

int SockSetTimeout(socket_t s, bool forSend, int milliseconds) {
    DWORD value = static_cast<DWORD>(milliseconds);
    return setsockopt(s, SOL_SOCKET, forSend ? SO_SNDTIMEO : SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof(value));
}

int SockConnect(socket_t s, const sockaddr_in& address, int timeoutMs) {
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&address);
    if (timeoutMs <= 0)
        return connect(s, addr, sizeof(address)) == 0 ? 0 : -1;

    // Connect without blocking, wait for the outcome with a bound, then give
    // the socket its blocking mode back for the rest of the exchange.
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
        return -1;
    int result = -1;
    if (connect(s, addr, sizeof(address)) == 0) {
        result = 0;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable))
            result = 0;
    }
    u_long blocking = 0;
    if (ioctlsocket(s, FIONBIO, &blocking) != 0)
        return -1;
    return result;
}

NetStartup::NetStartup() {
    WSADATA data;
    m_ok = WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

NetStartup::~NetStartup() {
    if (m_ok)
        WSACleanup();
}

}  // namespace net
