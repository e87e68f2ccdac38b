// The web-link control in this process, on static controls of our own, and
// inside a dialog of the framework to check routing and reflection.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "about/LinkStatic.h"
#include "framework/Dialog.h"

namespace {

constexpr UINT kLinkId = 1011;

// The shell and the message box replaced, the protected parts reachable.
class TestLink : public CLinkStatic {
public:
    INT_PTR launchResult = 42;
    std::vector<std::string> launched;
    std::vector<std::string> messages;

    using CLinkStatic::m_bAutoSize;
    using CLinkStatic::m_bHover;
    using CLinkStatic::m_bVisited;
    using CLinkStatic::m_fontPlain;
    using CLinkStatic::m_fontUnderlined;
    using CLinkStatic::m_hCursor;
    using CLinkStatic::m_strTarget;
    using CLinkStatic::m_tipCtrl;
    using CLinkStatic::OnLinkClicked;

    COLORREF TextColour() {
        HDC screen = ::GetDC(nullptr);
        HDC memory = ::CreateCompatibleDC(screen);
        CDC dc(memory);
        HBRUSH brush = OnReflectedCtlColor(&dc, CTLCOLOR_STATIC);
        COLORREF colour = ::GetTextColor(memory);
        EXPECT_EQ(brush, static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH)));
        ::DeleteDC(memory);
        ::ReleaseDC(nullptr, screen);
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
    HWND MakeStatic(const char* text, DWORD style, int x = 10, int width = 100) {
        m_hParent = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 400, 200, nullptr, nullptr,
                                      ::GetModuleHandleA(nullptr), nullptr);
        HWND hStatic = ::CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE | style, x, 10, width, 20, m_hParent,
                                         reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kLinkId)),
                                         ::GetModuleHandleA(nullptr), nullptr);
        ::SendMessageA(hStatic, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        return hStatic;
    }
    // The width of the text in the control's font with underline, as set-up measures it.
    static SIZE UnderlinedExtent(HWND hStatic, const char* text) {
        LOGFONTA logFont;
        ::GetObjectA(reinterpret_cast<HGDIOBJ>(::SendMessageA(hStatic, WM_GETFONT, 0, 0)), sizeof(logFont), &logFont);
        logFont.lfUnderline = TRUE;
        HFONT font = ::CreateFontIndirectA(&logFont);
        HDC dc = ::GetDC(hStatic);
        HGDIOBJ old = ::SelectObject(dc, font);
        SIZE size{0, 0};
        ::GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
        ::SelectObject(dc, old);
        ::ReleaseDC(hStatic, dc);
        ::DeleteObject(font);
        return size;
    }
    static RECT RectInParent(HWND hWnd) {
        RECT rect;
        ::GetWindowRect(hWnd, &rect);
        ::MapWindowPoints(nullptr, ::GetParent(hWnd), reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    }
    static std::string ToolText(TestLink& link) {
        char text[256] = "";
        TOOLINFOA info{};
        info.cbSize = TTTOOLINFOA_V1_SIZE;
        info.hwnd = link.m_hWnd;
        info.uId = 1;
        info.lpszText = text;
        ::SendMessageA(link.m_tipCtrl.m_hWnd, TTM_GETTEXTA, 0, reinterpret_cast<LPARAM>(&info));
        return text;
    }

    HWND m_hParent = nullptr;
};

TEST_F(LinkStatic, SetUpTakesTheTargetFromTheTextAndFitsTheWindow) {
    const char* address = "http://lumeno.example.org";
    HWND hStatic = MakeStatic(address, SS_LEFT);
    TestLink link;
    ASSERT_TRUE(link.SubclassWindow(hStatic));

    EXPECT_EQ(link.m_strTarget, address);
    EXPECT_TRUE(::GetWindowLongA(hStatic, GWL_STYLE) & SS_NOTIFY);
    EXPECT_EQ(ToolText(link), address);
    ASSERT_NE(link.m_fontPlain.m_hObject, nullptr);
    ASSERT_NE(link.m_fontUnderlined.m_hObject, nullptr);
    // The control keeps the dialog's font; the copies are new objects.
    EXPECT_EQ(::SendMessageA(hStatic, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(::GetStockObject(DEFAULT_GUI_FONT)));
    EXPECT_NE(link.m_hCursor, nullptr);

    SIZE extent = UnderlinedExtent(hStatic, address);
    RECT rect = RectInParent(hStatic);
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.right - rect.left, extent.cx);
    EXPECT_EQ(rect.bottom - rect.top, extent.cy);
}

// Centred text shrinks by half the difference on each side, truncated; right
// aligned text keeps its right edge.
TEST_F(LinkStatic, FitKeepsTheAlignment) {
    const char* text = "lumeno";
    {
        HWND hStatic = MakeStatic(text, SS_CENTER, 50, 100);
        int w = UnderlinedExtent(hStatic, text).cx;
        TestLink link;
        ASSERT_TRUE(link.SubclassWindow(hStatic));
        RECT rect = RectInParent(hStatic);
        int half = (100 - w) / 2;
        EXPECT_EQ(rect.left, 50 + half);
        EXPECT_EQ(rect.right, 150 - half);
        ::DestroyWindow(m_hParent);
        m_hParent = nullptr;
    }
    {
        HWND hStatic = MakeStatic(text, SS_RIGHT, 50, 100);
        int w = UnderlinedExtent(hStatic, text).cx;
        TestLink link;
        ASSERT_TRUE(link.SubclassWindow(hStatic));
        RECT rect = RectInParent(hStatic);
        EXPECT_EQ(rect.right, 150);
        EXPECT_EQ(rect.left, 150 - w);
    }
}

TEST_F(LinkStatic, HoverWinsOverVisited) {
    TestLink link;
    ASSERT_TRUE(link.SubclassWindow(MakeStatic("x", SS_LEFT)));
    const COLORREF link_ = RGB(0, 0, 238), visited = RGB(85, 26, 139), hover = RGB(255, 0, 0);
    struct Case {
        BOOL hover, visited;
        COLORREF colour;
    };
    for (const Case& c :
         {Case{FALSE, FALSE, link_}, Case{FALSE, TRUE, visited}, Case{TRUE, FALSE, hover}, Case{TRUE, TRUE, hover}}) {
        link.m_bHover = c.hover;
        link.m_bVisited = c.visited;
        EXPECT_EQ(link.TextColour(), c.colour) << c.hover << c.visited;
    }
}

TEST_F(LinkStatic, RefusedLaunchExplainsItselfAndClearsVisited) {
    TestLink link;
    ASSERT_TRUE(link.SubclassWindow(MakeStatic("http://lumeno.example.org", SS_LEFT)));
    link.launchResult = 42;
    link.OnLinkClicked();
    EXPECT_TRUE(link.m_bVisited);
    EXPECT_TRUE(link.messages.empty());

    link.launchResult = 26;  // a sharing violation
    link.m_bHover = TRUE;
    link.OnLinkClicked();
    EXPECT_FALSE(link.m_bVisited);
    EXPECT_FALSE(link.m_bHover);
    ASSERT_EQ(link.messages.size(), 1u);
    EXPECT_EQ(link.messages[0], "Unable to open hyperlink:\n\nA sharing violation occurred. ");
    EXPECT_EQ(link.launched, (std::vector<std::string>{"http://lumeno.example.org", "http://lumeno.example.org"}));
}

TEST_F(LinkStatic, UnderlineModeRepaintsOnlyOnAChange) {
    TestLink link;
    HWND hStatic = MakeStatic("x", SS_LEFT);
    ASSERT_TRUE(link.SubclassWindow(hStatic));
    ::ShowWindow(m_hParent, SW_SHOWNA);
    ::UpdateWindow(m_hParent);
    ::ValidateRect(hStatic, nullptr);
    link.SetUnderlineMode(-1);  // the current mode
    RECT update;
    EXPECT_FALSE(::GetUpdateRect(hStatic, &update, FALSE));
    link.SetUnderlineMode(1);
    EXPECT_TRUE(::GetUpdateRect(hStatic, &update, FALSE));
    EXPECT_EQ(::SendMessageA(hStatic, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(link.m_fontUnderlined.m_hObject));
}

// Each About box makes a new link: whatever it creates must go with it.
TEST_F(LinkStatic, DestructionReleasesFontsAndTheCursorCopy) {
    HGDIOBJ plain = nullptr;
    HGDIOBJ underlined = nullptr;
    HCURSOR cursor = nullptr;
    {
        TestLink link;
        ASSERT_TRUE(link.SubclassWindow(MakeStatic("x", SS_LEFT)));
        plain = link.m_fontPlain.m_hObject;
        underlined = link.m_fontUnderlined.m_hObject;
        cursor = link.m_hCursor;
        ASSERT_NE(cursor, nullptr);
        ICONINFO info;
        ASSERT_TRUE(::GetIconInfo(cursor, &info));
        ::DeleteObject(info.hbmMask);
        ::DeleteObject(info.hbmColor);
        ::DestroyWindow(m_hParent);
        m_hParent = nullptr;
    }
    EXPECT_EQ(::GetObjectType(plain), 0u);
    EXPECT_EQ(::GetObjectType(underlined), 0u);
    ICONINFO info;
    EXPECT_FALSE(::GetIconInfo(cursor, &info)) << "the cursor copy outlived the control";
}

// The hover ends at the first tick that finds the pointer outside.
TEST_F(LinkStatic, HoverStartsOnMouseMoveAndEndsOutside) {
    TestLink link;
    HWND hStatic = MakeStatic("hover", SS_LEFT);
    ASSERT_TRUE(link.SubclassWindow(hStatic));
    ::ShowWindow(m_hParent, SW_SHOWNA);
    ::SetCursorPos(1000, 900);  // far from the control
    ::SendMessageA(hStatic, WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));
    EXPECT_TRUE(link.m_bHover);
    EXPECT_EQ(::SendMessageA(hStatic, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(link.m_fontUnderlined.m_hObject));
    // Pump until the timer has ended the hover, at most two seconds.
    DWORD start = ::GetTickCount();
    MSG msg;
    while (link.m_bHover && ::GetTickCount() - start < 2000) {
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageA(&msg);
        ::Sleep(10);
    }
    EXPECT_FALSE(link.m_bHover);
    EXPECT_EQ(::SendMessageA(hStatic, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(link.m_fontPlain.m_hObject));
}

// A dialog of the framework: the link sees its reflected colour and click
// messages, plain buttons reach the command table, IDCANCEL ends the loop.
class RoutingDialog : public CDialog {
public:
    RoutingDialog() : CDialog(200) {}
    TestLink m_link;
    int m_nGoClicks = 0;
    HBRUSH m_brush = nullptr;
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
        if (msg == WM_APP) {
            HWND hLink = GetDlgItem(kLinkId);
            HDC dc = ::GetDC(hLink);
            m_brush = reinterpret_cast<HBRUSH>(
                SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hLink)));
            m_colour = ::GetTextColor(dc);
            ::ReleaseDC(hLink, dc);
            SendMessage(WM_COMMAND, MAKEWPARAM(kLinkId, STN_CLICKED), reinterpret_cast<LPARAM>(hLink));
            HWND hGo = GetDlgItem(1012);
            SendMessage(WM_COMMAND, MAKEWPARAM(1012, BN_CLICKED), reinterpret_cast<LPARAM>(hGo));
            SendMessage(WM_APP + 1);
            ::PostMessageA(m_hWnd, WM_COMMAND, IDCANCEL, 0);
            *pResult = 0;
            return true;
        }
        return CDialog::OnWndMsg(msg, wp, lp, pResult);
    }

private:
    void OnGo() { ++m_nGoClicks; }
};

// An exception from a handler stops at the window procedure and is
// reported there once; the dialog goes on.
TEST(FrameworkDialog, ReflectsToTheLinkRoutesCommandsAndReportsExceptions) {
    RoutingDialog dlg;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    const std::string reported = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(reported.find("thrown by a handler"), std::string::npos) << reported;
    EXPECT_EQ(reported.find("thrown by a handler"), reported.rfind("thrown by a handler")) << reported;
    EXPECT_EQ(dlg.m_brush, static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH)));
    EXPECT_EQ(dlg.m_colour, RGB(0, 0, 238));
    EXPECT_EQ(dlg.m_link.launched, std::vector<std::string>{"http://lumeno.example.org"});
    EXPECT_EQ(dlg.m_nGoClicks, 1);
    // The window is gone and the link let go of it.
    EXPECT_EQ(dlg.m_link.m_hWnd, nullptr);
}

}  // namespace
