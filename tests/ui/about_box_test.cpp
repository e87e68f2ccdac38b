// The About box of the real program, opened and closed through window
// messages to the main window and to the box.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ui/program_driver.h"

#include "res/resource.h"

namespace {

const std::string kAboutTitle = "关于Lumeno";

class AboutBox : public ProgramSuite {
protected:
    HWND WaitForBox() {
        HWND box = nullptr;
        ProgramDriver::WaitFor([&] { return (box = program().FindWindowTitled(kAboutTitle)) != nullptr; });
        return box;
    }
    // True when the box went away and the main window takes input again.
    bool WaitUntilClosed() {
        return ProgramDriver::WaitFor([&] {
            return program().FindWindowTitled(kAboutTitle) == nullptr && ::IsWindowEnabled(program().Window());
        });
    }
};

// The help button and the About item (the system keeps the low four bits of
// a command, so 0x10 to 0x1F) open it, modal; OK, Esc and the close box close it.
TEST_F(AboutBox, OpensEachWayAndClosesEachWay) {
    struct Way {
        UINT msg;
        WPARAM wp;
        const char* close;
    };
    for (const Way& way :
         {Way{WM_COMMAND, IDHELP, "OK"}, Way{WM_SYSCOMMAND, 0x10, "Esc"}, Way{WM_SYSCOMMAND, 0x1F, "close box"}}) {
        SCOPED_TRACE(way.close);
        ::PostMessageA(program().Window(), way.msg, way.wp, 0);
        HWND box = WaitForBox();
        ASSERT_NE(box, nullptr);
        EXPECT_FALSE(::IsWindowEnabled(program().Window()));
        if (std::string(way.close) == "OK")
            program().PostKey(::GetDlgItem(box, IDOK), VK_SPACE);
        else if (std::string(way.close) == "Esc")
            program().PostKey(::GetDlgItem(box, IDOK), VK_ESCAPE);
        else
            ::PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(WaitUntilClosed());
    }
    // A standard system command does its usual work and opens nothing.
    ::PostMessageA(program().Window(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return ::IsIconic(program().Window()) != FALSE; }));
    EXPECT_EQ(program().FindWindowTitled(kAboutTitle), nullptr);
    ::PostMessageA(program().Window(), WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return !::IsIconic(program().Window()); }));
}

}  // namespace
