#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "net/socket_compat.h"

int g_lookupPort = 0;

namespace {

// A free port on the loopback, for the scripted lookup servers of the tests.
int FreeLoopbackPort() {
    net::socket_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    net::SockClose(s);
    return port;
}

// Without a window manager, Wine waits two seconds for every window it hides
// unless it manages the windows itself.
void LetWineManageWindows() {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
        RegCloseKey(key);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    net::NetStartup sockets;
    if (!sockets.ok()) {
        std::fprintf(stderr, "the socket library could not be started\n");
        return 2;
    }
    g_lookupPort = FreeLoopbackPort();
    if (g_lookupPort == 0) {
        std::fprintf(stderr, "no free port on 127.0.0.1\n");
        return 2;
    }
    // The test build of the program reads its lookup host from here.
    std::string host = "127.0.0.1:" + std::to_string(g_lookupPort);
    SetEnvironmentVariableA("LUMENO_TEST_LOOKUP_HOST", host.c_str());
    LetWineManageWindows();
    return RUN_ALL_TESTS();
}
