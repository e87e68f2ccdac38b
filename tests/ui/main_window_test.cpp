// The real program under Wine, driven through window messages against a
// scripted lookup server on the loopback, and its About box.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "fake_http_peer.h"
#include "core/LocationQuery.h"
#include "ui/program_driver.h"

#include "app/res/resource.h"

extern int g_lookupPort;  // the port the program under test asks (see main)

namespace {

const std::string kAboutTitle = "关于Lumeno";

// Reads the text the system keeps for the window, without a message: works
// while the program's thread is blocked in a lookup.
std::string StoredText(HWND hWnd) {
    wchar_t wide[512] = L"";
    char narrow[1024] = "";
    int n = ::InternalGetWindowText(hWnd, wide, 512);
    return std::string(narrow, ::WideCharToMultiByte(CP_ACP, 0, wide, n, narrow, sizeof(narrow), nullptr, nullptr));
}

// The window's alpha, or -1 when it is not a layered window with one.
int Alpha(HWND hWnd) {
    BYTE alpha = 0;
    DWORD flags = 0;
    bool layered = (::GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_LAYERED) &&
                   ::GetLayeredWindowAttributes(hWnd, nullptr, &alpha, &flags) && (flags & LWA_ALPHA);
    return layered ? alpha : -1;
}

std::string Lines(const ProgramDriver& program) {
    return program.ItemText(IDC_RESULT1) + "|" + program.ItemText(IDC_RESULT2) + "|" + program.ItemText(IDC_RESULT3);
}

// A fresh program opens translucent with empty texts, and Esc ends it cleanly
// (WM_CLOSE ends each suite's program; the About box test sees that system
// commands other than About, Close among them, take the default path).
TEST(MainWindowLife, OpensTranslucentWithEmptyTextsAndEndsOnEsc) {
    ProgramDriver program;
    ASSERT_TRUE(program.Start());
    // No start-up notice: with a working socket library only the window opens.
    EXPECT_EQ(program.OtherVisibleWindows(), 0);
    EXPECT_EQ(Alpha(program.Window()), 200);
    // The data exchange has replaced the template's "Static" placeholders.
    EXPECT_EQ(program.ItemText(IDC_LONGITUDE) + program.ItemText(IDC_LATITUDE) + "|" + Lines(program), "|||");
    // Three buttons say BS_DEFPUSHBUTTON in the template; Enter must press the query button.
    EXPECT_EQ(program.Send(DM_GETDEFID), MAKELRESULT(IDOK, DC_HASDEFID));
    program.PostKey(program.Item(IDC_LONGITUDE), VK_ESCAPE);
    DWORD code = 1;
    ASSERT_TRUE(program.WaitForExit(ProgramDriver::kWaitMs, &code)) << "Esc left the program running";
    EXPECT_EQ(code, 0u);
}

// One program shared by the suite's tests: started before the first, closed
// after the last (and ended by force if it hung). Each test states what it
// relies on.
class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (s_program = new ProgramDriver)->Start(); }
    static void TearDownTestSuite() {
        DWORD code = 1;
        bool ended = !dlg() || (::PostMessageA(dlg(), WM_CLOSE, 0, 0) &&
                                s_program->WaitForExit(ProgramDriver::kWaitMs, &code) && code == 0);
        delete s_program;  // ends it by force if it hung
        EXPECT_TRUE(ended) << "the program did not exit cleanly on WM_CLOSE (exit code " << code << ")";
    }
    void SetUp() override { ASSERT_TRUE(dlg()) << "the program did not open its window"; }
    static ProgramDriver& program() { return *s_program; }
    static HWND dlg() { return s_program->Window(); }
    static ProgramDriver* s_program;
};
ProgramDriver* MainWindow::s_program = nullptr;

TEST_F(MainWindow, UpDownChangesTheOpacityWithinItsBounds) {
    HWND spin = program().Item(IDC_ALPHA_SPIN);
    auto scroll = [&](WORD code, WORD pos) {
        program().Send(WM_VSCROLL, MAKEWPARAM(code, pos), reinterpret_cast<LPARAM>(spin));
        return Alpha(dlg());
    };
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 65535), 100);
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 0), 101);  // position 0 is one step more opaque
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 5), 100);  // 96 clamps to 100
    for (int i = 0; i < 160; ++i)
        scroll(SB_THUMBPOSITION, 0);
    EXPECT_EQ(Alpha(dlg()), 255);
    // The end-of-scroll notification counts like any other.
    EXPECT_EQ(scroll(SB_ENDSCROLL, 3), 252);
    // When something removed the layered style, the next notification restores it.
    ::SetWindowLongA(dlg(), GWL_EXSTYLE, ::GetWindowLongA(dlg(), GWL_EXSTYLE) & ~WS_EX_LAYERED);
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 0), 253);
}

// One user's session: the example, queries that succeed and fail, a point
// outside the region; the three lines move only on success.
TEST_F(MainWindow, QueriesKeepTheNewestThreeAnswers) {
    {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply("never asked"))}, g_lookupPort);
        program().PostClick(program().Item(IDC_EXAMPLE));
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_LATITUDE) == "34.79139167"; }));
        EXPECT_EQ(program().ItemText(IDC_LONGITUDE), "113.65735");
        EXPECT_EQ(peer.connections(), 0);
    }
    {
        // Enter in an edit runs the query; the pause shows the wait text first.
        FakeHttpPeer peer({FakeHttpPeer::Pause(800), FakeHttpPeer::Send(Reply("甲地"))}, g_lookupPort);
        HWND edit = program().Item(IDC_LATITUDE);
        program().PostClick(edit);
        program().PostKey(edit, VK_RETURN);
        EXPECT_TRUE(ProgramDriver::WaitFor([&] { return StoredText(program().Item(IDC_RESULT1)) == kWaitText; }));
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == "甲地"; }));
        EXPECT_EQ(peer.request().rfind("GET /GetTextByPos?x=40916646&y=12524901&radius=6000&", 0), 0u);
    }
    auto query = [&](const char* lon, const FakeHttpPeer::Step& answer) {
        FakeHttpPeer peer({answer}, g_lookupPort);
        program().SetItemText(IDC_LONGITUDE, lon);
        program().PostCommand(IDOK, BN_CLICKED);
        // Handled after the query, in order: its change to the edit shows that the query is over.
        program().PostCommand(IDC_EXAMPLE, STN_CLICKED);
        EXPECT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_LONGITUDE) == "113.65735"; }));
        return peer.connections();
    };
    const std::string wait = kWaitText;
    EXPECT_EQ(query("113.5", FakeHttpPeer::Send(Reply("乙地"))), 1);
    EXPECT_EQ(Lines(program()), "乙地|甲地|");
    EXPECT_EQ(query("113.5", FakeHttpPeer::Send(Reply("丙地", "404 Not Found"))), 1);
    EXPECT_EQ(Lines(program()), wait + "|甲地|");
    // The wait text left by the failure is what the success saves.
    EXPECT_EQ(query("113.5", FakeHttpPeer::Send(Reply("丁地"))), 1);
    EXPECT_EQ(Lines(program()), "丁地|" + wait + "|甲地");
    // Just past the right edge: nothing is asked and only line 1 changes.
    EXPECT_EQ(query("135.0858278", FakeHttpPeer::Send(Reply("never asked"))), 0);
    EXPECT_EQ(Lines(program()), std::string(kOutOfRegionText) + "|" + wait + "|甲地");
    EXPECT_TRUE(::IsWindowVisible(dlg()));
}

// The help button and the About item (the system keeps the low four bits of
// a command, so 0x10 to 0x1F) open it, modal; OK, Esc and the close box close it.
TEST_F(MainWindow, AboutBoxOpensEachWayAndClosesEachWay) {
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

// The whole way: the real lookup service, started by the test command, answers
// the example position. Runs when the command names the service's address.
TEST(RealLookupService, ShowsTheDistrictOfTheExamplePosition) {
    const char* host = std::getenv("LUMENO_E2E_LOOKUP_HOST");
    ASSERT_TRUE(host && *host) << "LUMENO_E2E_LOOKUP_HOST names no lookup service to ask";
    // The program inherits the address when it starts; the scripted tests keep theirs.
    const std::string scripted = "127.0.0.1:" + std::to_string(g_lookupPort);
    ::SetEnvironmentVariableA("LUMENO_TEST_LOOKUP_HOST", host);
    ProgramDriver program;
    bool started = program.Start();
    ::SetEnvironmentVariableA("LUMENO_TEST_LOOKUP_HOST", scripted.c_str());
    ASSERT_TRUE(started) << "the program did not open its window";

    program.PostCommand(IDC_EXAMPLE, STN_CLICKED);
    program.PostCommand(IDOK, BN_CLICKED);
    std::string line1;
    EXPECT_TRUE(ProgramDriver::WaitFor([&] {
        return (line1 = program.ItemText(IDC_RESULT1)).rfind("河南省郑州市金水区", 0) == 0;
    })) << "line 1 with the lookup service at "
        << host << ": " << line1;
}

}  // namespace
