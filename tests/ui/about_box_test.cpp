// The About box of the real program, opened and closed through window
// messages to the main window and to the box.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
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

TEST_F(AboutBox, HelpButtonOpensItEveryTimeAndEachWayOfClosingWorks) {
    const char* ways[] = {"OK", "Esc", "close box"};
    for (const char* way : ways) {
        SCOPED_TRACE(way);
        program().PostCommand(IDHELP, BN_CLICKED);
        HWND box = WaitForBox();
        ASSERT_NE(box, nullptr);
        // Modal: the main window waits until the box is closed.
        EXPECT_FALSE(::IsWindowEnabled(program().Window()));
        if (std::string(way) == "OK")
            ::PostMessageA(::GetDlgItem(box, IDOK), WM_KEYDOWN, VK_SPACE, 0),
                ::PostMessageA(::GetDlgItem(box, IDOK), WM_KEYUP, VK_SPACE, 0xC0000001);
        else if (std::string(way) == "Esc")
            program().PostKey(::GetDlgItem(box, IDOK), VK_ESCAPE);
        else
            ::PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(WaitUntilClosed());
    }
    // Still usable: the example click reaches it.
    program().PostClick(program().Item(IDC_EXAMPLE));
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_LONGITUDE) == "113.65735"; }));
}

TEST_F(AboutBox, SystemCommandsOpenItOnlyForTheAboutItem) {
    // The low four bits are the system's, so 0x10 to 0x1F all mean the About item.
    for (WPARAM command : {WPARAM{0x10}, WPARAM{0x1F}}) {
        ::PostMessageA(program().Window(), WM_SYSCOMMAND, command, 0);
        HWND box = WaitForBox();
        ASSERT_NE(box, nullptr) << command;
        ::PostMessageA(box, WM_CLOSE, 0, 0);
        EXPECT_TRUE(WaitUntilClosed());
    }
    // A standard command does its usual work and opens nothing.
    ::PostMessageA(program().Window(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return ::IsIconic(program().Window()) != FALSE; }));
    EXPECT_EQ(program().FindWindowTitled(kAboutTitle), nullptr);
    ::PostMessageA(program().Window(), WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return !::IsIconic(program().Window()); }));
}

TEST_F(AboutBox, ShowsTheNotesAndAFittedLink) {
    program().PostCommand(IDHELP, BN_CLICKED);
    HWND box = WaitForBox();
    ASSERT_NE(box, nullptr);

    // The notes in template order, after the icon, the copyright line and OK.
    const std::string notes[] = {
        "使用说明:",
        "1. 支持十进制格式经纬度\n\n    示例：113.65735       34.79139167",
        "2.支持度分秒格式经纬度\n\n    示例： 113.39'26.46\" 34.47'29.01\"",
        "3.支持度分分格式经纬度\n\n    示例： 113.39'441  34.41'4835",
    };
    HWND child = ::GetWindow(box, GW_CHILD);
    for (int skip = 0; skip < 3 && child; ++skip)
        child = ::GetWindow(child, GW_HWNDNEXT);
    for (const std::string& note : notes) {
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(program().Text(child), note);
        child = ::GetWindow(child, GW_HWNDNEXT);
    }

    HWND link = ::GetDlgItem(box, IDC_SITE_LINK);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(program().Text(link), "http://lumeno.example");
    EXPECT_TRUE(::GetWindowLongA(link, GWL_STYLE) & SS_NOTIFY);
    // Fitted to its text before the box shows: no longer the template's 67 of
    // the box's 213 dialog units.
    RECT linkRect;
    RECT boxClient;
    ::GetWindowRect(link, &linkRect);
    ::GetClientRect(box, &boxClient);
    int templateWidth = 67 * (boxClient.right - boxClient.left) / 213;
    EXPECT_GT(std::abs((linkRect.right - linkRect.left) - templateWidth), 2);

    ::Sleep(300);  // let it paint, for the README
    EXPECT_TRUE(program().SaveScreenshot(DriverDirectory() + "about.bmp", box));
    ::PostMessageA(box, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntilClosed());
}

// Each opening makes and destroys a link with its fonts, tooltip and cursor
// copy: many openings must not raise the process's object counts.
TEST_F(AboutBox, ManyOpeningsLeaveTheObjectCountsFlat) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, program().ProcessId());
    ASSERT_NE(process, nullptr);
    auto openAndClose = [&] {
        program().PostCommand(IDHELP, BN_CLICKED);
        HWND box = WaitForBox();
        if (!box)
            return false;
        ::PostMessageA(box, WM_CLOSE, 0, 0);
        return WaitUntilClosed();
    };
    ASSERT_TRUE(openAndClose());  // the first opening may cache what it loads
    DWORD gdiBefore = ::GetGuiResources(process, GR_GDIOBJECTS);
    DWORD userBefore = ::GetGuiResources(process, GR_USEROBJECTS);
    if (gdiBefore == 0 && userBefore == 0) {
        ::CloseHandle(process);
        GTEST_SKIP() << "this system does not count GUI objects (Wine); the link test checks the control's own handles";
    }
    constexpr int kOpenings = 200;
    for (int i = 0; i < kOpenings; ++i)
        ASSERT_TRUE(openAndClose()) << "opening " << i;
    DWORD gdiAfter = ::GetGuiResources(process, GR_GDIOBJECTS);
    DWORD userAfter = ::GetGuiResources(process, GR_USEROBJECTS);
    ::CloseHandle(process);
    // A small allowance for objects the system creates on its own account.
    EXPECT_LT(gdiAfter, gdiBefore + 10);
    EXPECT_LT(userAfter, userBefore + 10);
}

}  // namespace
