// The README's pictures: the main window with three answers, and the About box.
#include <cstdio>
#include <string>

#include "fake_http_peer.h"
#include "ui/program_driver.h"

#include "res/resource.h"

extern int g_lookupPort;

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
