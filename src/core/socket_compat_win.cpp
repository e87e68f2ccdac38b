#include "core/socket_compat.h"

#include <winsock2.h>

#include <cstring>

namespace net {

namespace {

SOCKET Sock(socket_t s) {
    return static_cast<SOCKET>(s);
}

}  // namespace

socket_t OpenTcp() {
    // Without a protocol database the TCP number itself will do.
    const protoent* protocol = getprotobyname("tcp");
    return socket(AF_INET, SOCK_STREAM, protocol ? protocol->p_proto : IPPROTO_TCP);
}

int Close(socket_t s) {
    return closesocket(Sock(s));
}

int Send(socket_t s, const char* data, int length) {
    return send(Sock(s), data, length, 0);
}

int Recv(socket_t s, char* buffer, int size) {
    return recv(Sock(s), buffer, size, 0);
}

int SetTimeout(socket_t s, bool forSend, int milliseconds) {
    DWORD value = static_cast<DWORD>(milliseconds);
    return setsockopt(Sock(s), SOL_SOCKET, forSend ? SO_SNDTIMEO : SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof(value));
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
    peer.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    std::memcpy(&peer.sin_addr, address, 4);
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&peer);
    if (timeoutMs <= 0)
        return connect(Sock(s), addr, sizeof(peer)) == 0 ? 0 : -1;

    // Connect without blocking, wait for the outcome with a bound, then give
    // the socket its blocking mode back for the rest of the exchange.
    u_long nonBlocking = 1;
    if (ioctlsocket(Sock(s), FIONBIO, &nonBlocking) != 0)
        return -1;
    int result = -1;
    if (connect(Sock(s), addr, sizeof(peer)) == 0) {
        result = 0;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(Sock(s), &writable);
        FD_SET(Sock(s), &failed);
        timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(Sock(s), &writable))
            result = 0;
    }
    u_long blocking = 0;
    if (ioctlsocket(Sock(s), FIONBIO, &blocking) != 0)
        return -1;
    return result;
}

socket_t ListenLoopback(int port, int* boundPort) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    if (port != 0) {
        // A client that cannot be told the port gets consecutive peers on one.
        BOOL reuse = TRUE;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    int length = sizeof(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 8) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    *boundPort = ntohs(address.sin_port);
    return s;
}

bool WaitReadable(socket_t s, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Sock(s), &readable);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

socket_t Accept(socket_t listener) {
    return accept(Sock(listener), nullptr, nullptr);
}

void ShutdownSend(socket_t s) {
    shutdown(Sock(s), SD_SEND);
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
