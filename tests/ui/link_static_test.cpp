// The web-link control in this process, on a static control of our own and
// inside a dialog of the framework, which must route to it.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "about/LinkStatic.h"
#include "framework/Dialog.h"

namespace {

constexpr UINT kLinkId = 1011;
constexpr COLORREF kLinkColour = RGB(0, 0, 238);

// The shell and the message box replaced, the protected parts reachable.
class TestLink : public CLinkStatic {
public:
    INT_PTR launchResult = 42;
    std::vector<std::string> launched;
    std::vector<std::string> messages;

    using CLinkStatic::m_bHover;
    using CLinkStatic::m_bVisited;
    using CLinkStatic::m_fontPlain;
    using CLinkStatic::m_fontUnderlined;
    using CLinkStatic::m_hCursor;
    using CLinkStatic::m_strTarget;
    using CLinkStatic::OnLinkClicked;

    COLORREF TextColour() {
        HDC memory = ::CreateCompatibleDC(nullptr);
        CDC dc(memory);
        OnReflectedCtlColor(&dc, CTLCOLOR_STATIC);
        COLORREF colour = ::GetTextColor(memory);
        ::DeleteDC(memory);
        return colour;
    }

protected:
    INT_PTR Launch(const char* pszTarget, int) override {
        launched.push_back(pszTarget);
        return launchResult;
    }
    int ShowMessage(const char* pszText, UINT) override {
        messages.push_back(pszText);
        return IDOK;
    }
};

// A parent window with one static child, destroyed with the fixture.
class LinkStatic : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_hParent)
            ::DestroyWindow(m_hParent);
    }
    HWND MakeStatic(const char* text) {
        m_hParent = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 400, 200, nullptr, nullptr, nullptr, nullptr);
        HWND hStatic = ::CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 300, 20, m_hParent,
                                         nullptr, nullptr, nullptr);
        ::SendMessageA(hStatic, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        return hStatic;
    }
    HWND m_hParent = nullptr;
};

// Set-up takes the target from the text and fits the window to the
// underlined text; the link's fonts and cursor copy go with it.
TEST_F(LinkStatic, SetUpFitsTheTextAndDestructionReleasesItsObjects) {
    const char* address = "http://lumeno.example.org";
    HWND hStatic = MakeStatic(address);
    HGDIOBJ fonts[2];
    HCURSOR cursor;
    {
        TestLink link;
        ASSERT_TRUE(link.SubclassWindow(hStatic));
        EXPECT_EQ(link.m_strTarget, address);
        EXPECT_TRUE(::GetWindowLongA(hStatic, GWL_STYLE) & SS_NOTIFY);
        HDC dc = ::GetDC(hStatic);
        HGDIOBJ old = ::SelectObject(dc, link.m_fontUnderlined.m_hObject);
        SIZE extent{0, 0};
        ::GetTextExtentPoint32A(dc, address, lstrlenA(address), &extent);
        ::SelectObject(dc, old);
        ::ReleaseDC(hStatic, dc);
        RECT rect;
        ::GetClientRect(hStatic, &rect);
        EXPECT_EQ(rect.right, extent.cx);
        EXPECT_EQ(rect.bottom, extent.cy);
        fonts[0] = link.m_fontPlain.m_hObject;
        fonts[1] = link.m_fontUnderlined.m_hObject;
        cursor = link.m_hCursor;
        ::DestroyWindow(m_hParent);
        m_hParent = nullptr;
    }
    EXPECT_EQ(::GetObjectType(fonts[0]), 0u);
    EXPECT_EQ(::GetObjectType(fonts[1]), 0u);
    ICONINFO info;
    EXPECT_FALSE(cursor && ::GetIconInfo(cursor, &info)) << "the cursor copy outlived the control";
}

TEST_F(LinkStatic, HoverWinsOverVisitedAndARefusedLaunchExplainsItself) {
    TestLink link;
    ASSERT_TRUE(link.SubclassWindow(MakeStatic("http://lumeno.example.org")));
    const COLORREF visited = RGB(85, 26, 139), hover = RGB(255, 0, 0);
    const struct {
        BOOL hover, visited;
        COLORREF colour;
    } cases[] = {{FALSE, FALSE, kLinkColour}, {FALSE, TRUE, visited}, {TRUE, FALSE, hover}, {TRUE, TRUE, hover}};
    for (const auto& c : cases) {
        link.m_bHover = c.hover;
        link.m_bVisited = c.visited;
        EXPECT_EQ(link.TextColour(), c.colour) << "hover " << c.hover << " visited " << c.visited;
    }

    link.m_bVisited = FALSE;
    link.OnLinkClicked();
    EXPECT_TRUE(link.m_bVisited);
    EXPECT_TRUE(link.messages.empty());
    link.launchResult = 26;  // a sharing violation
    link.OnLinkClicked();
    EXPECT_FALSE(link.m_bVisited);
    EXPECT_EQ(link.messages, std::vector<std::string>{"Unable to open hyperlink:\n\nA sharing violation occurred. "});
    EXPECT_EQ(link.launched.size(), 2u);
}

// A dialog of the framework: the link sees its reflected colour and click,
// plain buttons reach the command table, IDCANCEL ends the loop, and an
// exception thrown by a handler stops at the window procedure.
class RoutingDialog : public CDialog {
public:
    RoutingDialog() : CDialog(200) {}
    TestLink m_link;
    int m_nGoClicks = 0;
    COLORREF m_colour = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, kLinkId, m_link); }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        ::PostMessageA(m_hWnd, WM_APP, 0, 0);
        SetTimer(1, 5000);  // a bound, should the checks never run
        return TRUE;
    }
    BOOL OnCommand(WPARAM wp, LPARAM lp) override {
        static const CommandEntry<RoutingDialog> commands[] = {{1012, BN_CLICKED, &RoutingDialog::OnGo}};
        return DispatchCommand(*this, commands, wp) || CDialog::OnCommand(wp, lp);
    }
    void OnTimer(UINT_PTR) override { EndDialog(-2); }
    bool OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult) override {
        if (msg == WM_APP + 1)
            throw std::runtime_error("thrown by a handler");
        if (msg != WM_APP)
            return CDialog::OnWndMsg(msg, wp, lp, pResult);
        HWND hLink = GetDlgItem(kLinkId);
        HDC dc = ::GetDC(hLink);
        SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hLink));
        m_colour = ::GetTextColor(dc);
        ::ReleaseDC(hLink, dc);
        SendMessage(WM_COMMAND, MAKEWPARAM(kLinkId, STN_CLICKED), reinterpret_cast<LPARAM>(hLink));
        SendMessage(WM_COMMAND, MAKEWPARAM(1012, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(1012)));
        SendMessage(WM_APP + 1);
        ::PostMessageA(m_hWnd, WM_COMMAND, IDCANCEL, 0);
        return true;
    }

private:
    void OnGo() { ++m_nGoClicks; }
};

TEST(FrameworkDialog, RoutesToTheLinkAndReportsAnEscapedExceptionOnce) {
    RoutingDialog dlg;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    const std::string reported = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(dlg.m_colour, kLinkColour);
    EXPECT_EQ(dlg.m_link.launched, std::vector<std::string>{"http://lumeno.example.org"});
    EXPECT_EQ(dlg.m_nGoClicks, 1);
    const size_t at = reported.find("thrown by a handler");
    EXPECT_NE(at, std::string::npos) << reported;
    EXPECT_EQ(at, reported.rfind("thrown by a handler")) << reported;
    // The window is gone and the link let go of it.
    EXPECT_EQ(dlg.m_link.m_hWnd, nullptr);
}

}  // namespace
