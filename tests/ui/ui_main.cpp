#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fake_http_peer.h"

int g_lookupPort = 0;

int TakeScreenshots(const std::string& directory);  // screenshots.cpp

namespace {

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

// The tests, or with "--screenshots DIR" the pictures of the README instead.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    net::NetStartup sockets;
    g_lookupPort = sockets.ok() ? FreeLoopbackPort() : 0;
    if (g_lookupPort == 0) {
        std::fprintf(stderr, "no socket library or no free port on 127.0.0.1\n");
        return 2;
    }
    // The test build of the program reads its lookup host from here.
    std::string host = "127.0.0.1:" + std::to_string(g_lookupPort);
    SetEnvironmentVariableA("LUMENO_TEST_LOOKUP_HOST", host.c_str());
    LetWineManageWindows();
    if (argc == 3 && std::strcmp(argv[1], "--screenshots") == 0)
        return TakeScreenshots(argv[2]);
    return RUN_ALL_TESTS();
}
