// The real program under Wine, driven through window messages against a
// scripted lookup server on the loopback.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_http_peer.h"
#include "ui/program_driver.h"

#include "res/resource.h"

extern int g_lookupPort;  // the port the program under test asks (see main)

namespace {

const std::string kWaitText = "正在请求,请稍等...";
const std::string kOutOfRegionText = "抱歉,请求的位置不在中国境内!";

std::string Reply(const std::string& body, const char* status = "200 OK") {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Reads the text the system keeps for the window, without a message: works
// while the program's thread is blocked in a lookup.
std::string StoredText(HWND hWnd) {
    wchar_t wide[512] = L"";
    int n = ::InternalGetWindowText(hWnd, wide, 512);
    char narrow[1024] = "";
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide, n, narrow, sizeof(narrow), nullptr, nullptr);
    return std::string(narrow, static_cast<size_t>(bytes));
}

BYTE Alpha(HWND hWnd) {
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    if (!::GetLayeredWindowAttributes(hWnd, &key, &alpha, &flags) || !(flags & LWA_ALPHA))
        return 0;
    return alpha;
}

bool IsLayered(HWND hWnd) {
    return (::GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_LAYERED) != 0;
}

struct Lines {
    std::string line1, line2, line3;
};

Lines ReadLines(const ProgramDriver& program) {
    return {program.ItemText(IDC_RESULT1), program.ItemText(IDC_RESULT2), program.ItemText(IDC_RESULT3)};
}

// Types the pair, presses the query button and waits until line 1 shows
// something other than the wait text. Returns line 1.
std::string Query(ProgramDriver& program, const std::string& lon, const std::string& lat) {
    program.SetItemText(IDC_LONGITUDE, lon);
    program.SetItemText(IDC_LATITUDE, lat);
    std::string before = program.ItemText(IDC_RESULT1);
    program.SetItemText(IDC_RESULT1, "-");  // so the end of this query is visible
    program.PostCommand(IDOK, BN_CLICKED);
    std::string line1;
    ProgramDriver::WaitFor([&] {
        line1 = StoredText(program.Item(IDC_RESULT1));
        return line1 != "-";
    });
    // Now wait for the exchange to end (the wait text stays only on failure).
    ProgramDriver::WaitFor(
        [&] {
            line1 = program.ItemText(IDC_RESULT1);
            return line1 != kWaitText && line1 != "-";
        },
        3000);
    (void)before;
    return line1;
}

// ---------------------------------------------------------------------------
// The program file and a fresh window.

TEST(ProgramFile, CarriesTheVersionInformation) {
    std::string path = DriverDirectory() + "lumeno_ui_program.exe";
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(::GetFileVersionInfoA(path.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);

    struct Field {
        const char* name;
        std::string value;
    };
    const Field fields[] = {
        {"FileDescription", "通过GPS经纬度获取人文位置"},
        {"FileVersion", "1, 0, 0, 1"},
        {"InternalName", "Lumeno"},
        {"OriginalFilename", "Lumeno.EXE"},
        {"ProductName", "Lumeno"},
        {"ProductVersion", "1, 0, 0, 1"},
        {"CompanyName", ""},
        {"Comments", ""},
    };
    for (const Field& field : fields) {
        std::string key = std::string("\\StringFileInfo\\080404b0\\") + field.name;
        char* value = nullptr;
        UINT chars = 0;
        ASSERT_TRUE(::VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars)) << key;
        EXPECT_EQ(std::string(value ? value : ""), field.value) << key;
    }
    char* copyright = nullptr;
    UINT chars = 0;
    ASSERT_TRUE(::VerQueryValueA(data.data(), "\\StringFileInfo\\080404b0\\LegalCopyright",
                                 reinterpret_cast<void**>(&copyright), &chars));
    EXPECT_NE(std::string(copyright ? copyright : ""), "");
}

TEST(MainWindowStart, OpensTranslucentWithEmptyTextsAndTheTemplateControls) {
    ProgramDriver program;
    ASSERT_TRUE(program.Start());
    HWND dlg = program.Window();

    // No start-up notice: with a working socket library only the window opens.
    EXPECT_EQ(program.OtherVisibleWindows(), 0);
    EXPECT_EQ(program.Text(dlg), "Lumeno http://lumeno.example");
    EXPECT_TRUE(IsLayered(dlg));
    EXPECT_EQ(Alpha(dlg), 200);
    DWORD style = static_cast<DWORD>(::GetWindowLongA(dlg, GWL_STYLE));
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(::GetWindowLongA(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    // The template's controls in tab order. Texts are read as they show: the
    // data exchange has already replaced the "Static" placeholders.
    struct Control {
        int id;
        const char* className;
        bool visible;
        DWORD styles;  // bits that must be set besides WS_CHILD
        std::string text;
    };
    const Control controls[] = {
        {IDOK, "Button", true, WS_TABSTOP | BS_DEFPUSHBUTTON, "查询"},
        {IDCANCEL, "Button", false, WS_TABSTOP, "关闭"},
        {IDC_LONGITUDE, "Edit", true, WS_TABSTOP | ES_AUTOHSCROLL, ""},
        {IDC_STATIC, "Static", true, WS_GROUP, "经度"},
        {IDC_STATIC, "Static", true, WS_GROUP, "纬度"},
        {IDC_LATITUDE, "Edit", true, WS_TABSTOP | ES_AUTOHSCROLL, ""},
        {IDC_STATIC, "Button", true, BS_GROUPBOX, "位置描述"},
        {IDC_RESULT1, "Static", true, WS_GROUP, ""},
        {IDC_ALPHA_SPIN, "msctls_updown32", true, UDS_ARROWKEYS, "Spin2"},
        {IDHELP, "Button", true, WS_TABSTOP, "帮助"},
        {IDC_MANUAL, "Button", true, WS_TABSTOP, "手册"},
        {IDC_RESULT2, "Static", true, WS_GROUP, ""},
        {IDC_RESULT3, "Static", true, WS_GROUP, ""},
        {IDC_EXAMPLE, "Static", true, WS_GROUP | SS_NOTIFY | SS_SUNKEN, "示例: 113.65735    34.79139167"},
        {IDC_STATIC, "Static", true, WS_GROUP, "1"},
        {IDC_STATIC, "Static", true, WS_GROUP, "2"},
        {IDC_STATIC, "Static", true, WS_GROUP, "3"},
    };
    HWND child = ::GetWindow(dlg, GW_CHILD);
    for (const Control& expected : controls) {
        ASSERT_NE(child, nullptr) << "missing control " << expected.text;
        char className[64] = "";
        ::GetClassNameA(child, className, sizeof(className));
        DWORD childStyle = static_cast<DWORD>(::GetWindowLongA(child, GWL_STYLE));
        SCOPED_TRACE(std::to_string(expected.id) + " " + expected.text);
        EXPECT_EQ(::GetDlgCtrlID(child), expected.id);
        EXPECT_EQ(lstrcmpiA(className, expected.className), 0) << className;
        EXPECT_EQ(::IsWindowVisible(child) != FALSE, expected.visible);
        EXPECT_EQ(childStyle & expected.styles, expected.styles);
        EXPECT_EQ(program.Text(child), expected.text);
        if (lstrcmpiA(className, "Edit") == 0) {
            // The edit control trades WS_BORDER for the sunken client edge
            // when it is created, on Windows as under Wine.
            DWORD exStyle = static_cast<DWORD>(::GetWindowLongA(child, GWL_EXSTYLE));
            EXPECT_TRUE((childStyle & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE));
        }
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";

    // Three buttons say BS_DEFPUSHBUTTON in the template; the query button
    // must be the one Enter presses.
    LRESULT defId = program.Send(DM_GETDEFID);
    EXPECT_EQ(HIWORD(defId), DC_HASDEFID);
    EXPECT_EQ(LOWORD(defId), IDOK);
}

// Esc, the close box (WM_CLOSE) and the Close item of the system menu end
// the program, and it exits cleanly.
class MainWindowEnd : public ::testing::TestWithParam<const char*> {};

TEST_P(MainWindowEnd, EndsTheProgram) {
    ProgramDriver program;
    ASSERT_TRUE(program.Start());
    std::string how = GetParam();
    if (how == "Esc")
        program.PostKey(program.Item(IDC_LONGITUDE), VK_ESCAPE);
    else if (how == "WM_CLOSE")
        ::PostMessageA(program.Window(), WM_CLOSE, 0, 0);
    else
        ::PostMessageA(program.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD code = 1;
    ASSERT_TRUE(program.WaitForExit(ProgramDriver::kWaitMs, &code)) << how << " left the program running";
    EXPECT_EQ(code, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ways, MainWindowEnd, ::testing::Values("Esc", "WM_CLOSE", "SC_CLOSE"));

// ---------------------------------------------------------------------------
// One running program for the rest: each test states what it relies on.

class MainWindow : public ProgramSuite {};

TEST_F(MainWindow, UpDownChangesTheOpacityWithinItsBounds) {
    HWND spin = program().Item(IDC_ALPHA_SPIN);
    auto scroll = [&](WORD code, WORD pos) {
        program().Send(WM_VSCROLL, MAKEWPARAM(code, pos), reinterpret_cast<LPARAM>(spin));
        return Alpha(dlg());
    };
    // Any large position drops to the floor, whatever the current opacity.
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 65535), 100);
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 0), 101);  // position 0 is one step more opaque
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 5), 100);  // 96 clamps to 100
    for (int i = 0; i < 160; ++i)
        scroll(SB_THUMBPOSITION, 0);
    EXPECT_EQ(Alpha(dlg()), 255);  // never past opaque
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 3), 252);
    // The end-of-scroll notification counts like any other.
    EXPECT_EQ(scroll(SB_ENDSCROLL, 2), 250);
    EXPECT_TRUE(IsLayered(dlg()));

    // Even when something removed the layered style, the next notification restores it.
    ::SetWindowLongA(dlg(), GWL_EXSTYLE, ::GetWindowLongA(dlg(), GWL_EXSTYLE) & ~WS_EX_LAYERED);
    EXPECT_EQ(scroll(SB_THUMBPOSITION, 0), 251);
    EXPECT_TRUE(IsLayered(dlg()));
}

TEST_F(MainWindow, QuerySendsTheLookupRequestAndShowsTheReplyOnLine1) {
    const std::string body = "河南省郑州市金水区";
    // The pause keeps the exchange open long enough to see the wait text.
    FakeHttpPeer peer({FakeHttpPeer::Pause(800), FakeHttpPeer::Send(Reply(body))}, g_lookupPort);
    program().SetItemText(IDC_LONGITUDE, "113.65735");
    program().SetItemText(IDC_LATITUDE, "34.79139167");
    program().SetItemText(IDC_RESULT1, "earlier");
    program().PostCommand(IDOK, BN_CLICKED);

    HWND line1 = program().Item(IDC_RESULT1);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return StoredText(line1) == kWaitText; }, 3000))
        << "the wait text was not shown before the reply";
    ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == body; }))
        << program().ItemText(IDC_RESULT1);
    EXPECT_EQ(program().ItemText(IDC_RESULT2), "earlier");
    EXPECT_EQ(peer.request(),
              "GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.1\r\n"
              "Host:127.0.0.1\r\nAccept:*/*\r\nUser-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Connection:Keep-Alive\r\n\r\n");
    // The dialog is still there for the next query.
    EXPECT_TRUE(::IsWindowVisible(dlg()));
}

TEST_F(MainWindow, HistoryMovesOnSuccessOnly) {
    const char* lon = "113.5";
    const char* lat = "34.5";
    for (const char* place : {"甲地", "乙地", "丙地"}) {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply(place))}, g_lookupPort);
        ASSERT_EQ(Query(program(), lon, lat), place);
    }
    // Line 1 took the place typed over it ("-") before each query; the
    // lines below hold the earlier answers.
    Lines lines = ReadLines(program());
    EXPECT_EQ(lines.line1, "丙地");
    EXPECT_EQ(lines.line2, "-");
    EXPECT_EQ(lines.line3, "-");

    // Without the marker the history is the answers themselves.
    for (const char* place : {"丁地", "戊地"}) {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply(place))}, g_lookupPort);
        program().SetItemText(IDC_LONGITUDE, lon);
        program().SetItemText(IDC_LATITUDE, lat);
        program().PostCommand(IDOK, BN_CLICKED);
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == place; }));
    }
    lines = ReadLines(program());
    EXPECT_EQ(lines.line1, "戊地");
    EXPECT_EQ(lines.line2, "丁地");
    EXPECT_EQ(lines.line3, "丙地");

    // A 404 moves nothing: line 1 keeps the wait text.
    {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply("no such place", "404 Not Found"))}, g_lookupPort);
        program().PostCommand(IDOK, BN_CLICKED);
        // WM_GETTEXT is answered only once the exchange is over; connections()
        // stops the peer, so it is asked only afterwards.
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == kWaitText; }));
        EXPECT_EQ(peer.connections(), 1);
    }
    lines = ReadLines(program());
    EXPECT_EQ(lines.line2, "丁地");
    EXPECT_EQ(lines.line3, "丙地");

    // The next success saves the wait text itself, so it moves to line 2.
    {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply("己地"))}, g_lookupPort);
        program().PostCommand(IDOK, BN_CLICKED);
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == "己地"; }));
    }
    lines = ReadLines(program());
    EXPECT_EQ(lines.line2, kWaitText);
    EXPECT_EQ(lines.line3, "丁地");
}

TEST_F(MainWindow, OutsideTheRegionShowsTheNoticeWithoutConnecting) {
    struct Case {
        const char* lon;
        const char* lat;
    };
    // Empty texts read as (0, 0); the others lie just past the right and bottom edges.
    const Case cases[] = {{"", ""}, {"135.0858278", "34.5"}, {"113.5", "53.557925"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.lon) + " " + c.lat);
        program().SetItemText(IDC_RESULT2, "second");
        program().SetItemText(IDC_RESULT3, "third");
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply("should not be asked"))}, g_lookupPort);
        EXPECT_EQ(Query(program(), c.lon, c.lat), kOutOfRegionText);
        EXPECT_EQ(peer.connections(), 0);
        EXPECT_EQ(program().ItemText(IDC_RESULT2), "second");
        EXPECT_EQ(program().ItemText(IDC_RESULT3), "third");
    }
}

TEST_F(MainWindow, ExampleClickFillsBothEditsAndAsksNothing) {
    // A query refused for its region brings the lines and their strings in step.
    Query(program(), "", "");
    Lines before = ReadLines(program());
    program().SetItemText(IDC_LONGITUDE, "1");
    program().SetItemText(IDC_LATITUDE, "2");
    FakeHttpPeer peer({FakeHttpPeer::Send(Reply("should not be asked"))}, g_lookupPort);
    program().PostClick(program().Item(IDC_EXAMPLE));
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_LONGITUDE) == "113.65735"; }));
    EXPECT_EQ(program().ItemText(IDC_LATITUDE), "34.79139167");
    Lines after = ReadLines(program());
    EXPECT_EQ(after.line1, before.line1);
    EXPECT_EQ(after.line2, before.line2);
    EXPECT_EQ(after.line3, before.line3);
    EXPECT_EQ(peer.connections(), 0);
}

TEST_F(MainWindow, EnterInAnEditRunsTheQueryAndKeepsTheDialogOpen) {
    const std::string body = "回车查询";
    FakeHttpPeer peer({FakeHttpPeer::Send(Reply(body))}, g_lookupPort);
    program().SetItemText(IDC_LONGITUDE, "113.65735");
    program().SetItemText(IDC_LATITUDE, "34.79139167");
    HWND edit = program().Item(IDC_LATITUDE);
    program().PostClick(edit);  // the focus goes where the user types
    program().PostKey(edit, VK_RETURN);
    EXPECT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == body; }))
        << "Enter did not run the query: " << program().ItemText(IDC_RESULT1);
    EXPECT_EQ(peer.connections(), 1);
    // Still open, and nothing else (the manual, say) was opened.
    EXPECT_TRUE(::IsWindowVisible(dlg()));
    EXPECT_EQ(program().OtherVisibleWindows(), 0);
}

// Last in the suite: the window with a few answers, for the README.
TEST_F(MainWindow, Screenshot) {
    program().PostClick(program().Item(IDC_EXAMPLE));
    for (const char* place : {"河南省郑州市二七区", "河南省郑州市中原区", "河南省郑州市金水区"}) {
        FakeHttpPeer peer({FakeHttpPeer::Send(Reply(place))}, g_lookupPort);
        program().PostCommand(IDOK, BN_CLICKED);
        ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program().ItemText(IDC_RESULT1) == place; }));
    }
    ::Sleep(300);  // let the window repaint
    EXPECT_TRUE(program().SaveScreenshot(DriverDirectory() + "main.bmp"));
}

// ---------------------------------------------------------------------------
// The whole way: the real lookup service, started by the test command, answers
// the example position. Runs when the command names the service's address.

TEST(RealLookupService, ShowsTheDistrictOfTheExamplePosition) {
    const char* host = std::getenv("LUMENO_E2E_LOOKUP_HOST");
    if (!host || !*host)
        GTEST_SKIP() << "LUMENO_E2E_LOOKUP_HOST names no lookup service";
    // The program inherits the address when it starts; the scripted tests
    // keep theirs.
    const std::string scripted = "127.0.0.1:" + std::to_string(g_lookupPort);
    ::SetEnvironmentVariableA("LUMENO_TEST_LOOKUP_HOST", host);
    ProgramDriver program;
    bool started = program.Start();
    ::SetEnvironmentVariableA("LUMENO_TEST_LOOKUP_HOST", scripted.c_str());
    ASSERT_TRUE(started) << "the program did not open its window";

    program.PostClick(program.Item(IDC_EXAMPLE));
    ASSERT_TRUE(ProgramDriver::WaitFor([&] { return program.ItemText(IDC_LONGITUDE) == "113.65735"; }));
    program.PostCommand(IDOK, BN_CLICKED);
    std::string line1;
    EXPECT_TRUE(ProgramDriver::WaitFor([&] {
        line1 = program.ItemText(IDC_RESULT1);
        return !line1.empty() && line1 != kWaitText;
    })) << "no answer from the lookup service at "
        << host;
    EXPECT_EQ(line1.rfind("河南省郑州市金水区", 0), 0u) << line1;

    ::PostMessageA(program.Window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(program.WaitForExit(ProgramDriver::kWaitMs));
}

}  // namespace
