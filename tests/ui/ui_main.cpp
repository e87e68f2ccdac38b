#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fake_http_peer.h"
#include "gtest_strict.h"
#include "app/res/resource.h"
#include "ui/program_driver.h"

int g_lookupPort = 0;

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

// The README's pictures: the main window with three answers, and the About box.
int TakeScreenshots(const std::string& directory) {
    ProgramDriver program;
    if (!program.Start())
        return 1;
    program.PostCommand(IDC_EXAMPLE, STN_CLICKED);
    for (std::string place : {"河南省郑州市二七区", "河南省郑州市中原区", "河南省郑州市金水区"}) {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply(place))}, g_lookupPort);
        program.PostCommand(IDOK, BN_CLICKED);
        if (!ProgramDriver::WaitFor([&] { return program.ItemText(IDC_RESULT1) == place; }))
            return 1;
    }
    ::Sleep(300);  // let the window repaint
    bool ok = program.SaveScreenshot(directory + "\\main.bmp");
    program.PostCommand(IDHELP, BN_CLICKED);
    HWND box = nullptr;
    ok = ok && ProgramDriver::WaitFor([&] { return (box = program.FindWindowTitled("关于Lumeno")) != nullptr; });
    ::Sleep(300);
    ok = ok && program.SaveScreenshot(directory + "\\about.bmp", box);
    ::PostMessageA(box, WM_CLOSE, 0, 0);
    ::PostMessageA(program.Window(), WM_CLOSE, 0, 0);
    ok = program.WaitForExit(ProgramDriver::kWaitMs) && ok;
    std::fprintf(stderr, "screenshots: %s\n", ok ? "main.bmp and about.bmp written" : "failed");
    return ok ? 0 : 1;
}

}  // namespace

// The tests, or with "--screenshots DIR" the pictures of the README instead.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    lumeno_test::FailCasesOfFailedSuites();
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
