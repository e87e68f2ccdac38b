// The About box of the real program, opened and closed through window
// messages to the main window and to the box.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ui/program_driver.h"

#include "res/resource.h"

namespace {

const std::string kAboutTitle = "关于Lumeno";

class AboutBox : public ProgramSuite {};

// The help button and the About item (the system keeps the low four bits of
// a command, so 0x10 to 0x1F) open it, modal; OK, Esc and the close box close it.
TEST_F(AboutBox, OpensEachWayAndClosesEachWay) {
    const struct {
        UINT msg;
        WPARAM wp;
        const char* close;
    } ways[] = {{WM_COMMAND, IDHELP, "OK"}, {WM_SYSCOMMAND, 0x10, "Esc"}, {WM_SYSCOMMAND, 0x1F, "close box"}};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.close);
        ::PostMessageA(dlg(), way.msg, way.wp, 0);
        HWND box = nullptr;
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return (box = program().FindWindowTitled(kAboutTitle)) != nullptr; }));
        EXPECT_FALSE(::IsWindowEnabled(dlg()));
        if (way.close == std::string("close box"))
            ::PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        else
            program().PostKey(::GetDlgItem(box, IDOK), way.close == std::string("OK") ? VK_SPACE : VK_ESCAPE);
        EXPECT_TRUE(ProgramDriver::WaitFor(
            [&] { return program().FindWindowTitled(kAboutTitle) == nullptr && ::IsWindowEnabled(dlg()); }));
    }
    // A standard system command does its usual work and opens nothing.
    ::PostMessageA(dlg(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return ::IsIconic(dlg()) != FALSE; }));
    EXPECT_EQ(program().FindWindowTitled(kAboutTitle), nullptr);
    ::PostMessageA(dlg(), WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return !::IsIconic(dlg()); }));
}

}  // namespace
