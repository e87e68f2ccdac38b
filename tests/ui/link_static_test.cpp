// The web link inside a dialog of the framework (its command table is the
// program's, driven by the UI tests): the dialog must reflect the link's
// colour and click to it, stop a handler's exception at the window
// procedure, and free the link's objects with it.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/LinkStatic.h"
#include "framework/Dialog.h"

namespace {

constexpr UINT kLinkId = 1011;

// The shell and the message box replaced, the link's objects reachable.
class TestLink : public CLinkStatic {
public:
    std::vector<std::string> launched;
    INT_PTR launchResult = 42;  // above 32: the shell opened it
    std::vector<std::string> messages;
    using CLinkStatic::m_bVisited;
    using CLinkStatic::m_fontPlain;
    using CLinkStatic::m_fontUnderlined;
    using CLinkStatic::m_hCursor;

protected:
    INT_PTR Launch(const char* pszTarget, int) override {
        launched.push_back(pszTarget);
        return launchResult;
    }
    int ShowMessage(const char* pszText, UINT nType) override {
        messages.push_back(std::string(pszText) + (nType == (MB_ICONEXCLAMATION | MB_OK) ? "" : " (wrong type)"));
        return IDOK;
    }
};

class RoutingDialog : public CDialog {
public:
    RoutingDialog() : CDialog(200) {}
    TestLink m_link;
    COLORREF m_colour = 0;
    LONG m_linkStyle = 0;
    std::vector<BOOL> m_visited;  // after each click

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, kLinkId, m_link); }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        ::PostMessageA(m_hWnd, WM_APP, 0, 0);
        SetTimer(1, 5000);  // a bound, should the checks never run
        return TRUE;
    }
    void OnTimer(UINT_PTR) override { EndDialog(-2); }
    bool OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult) override {
        if (msg == WM_APP + 1)
            throw std::runtime_error("thrown by a handler");
        if (msg != WM_APP)
            return CDialog::OnWndMsg(msg, wp, lp, pResult);
        HWND hLink = GetDlgItem(kLinkId);
        m_linkStyle = ::GetWindowLongA(hLink, GWL_STYLE);
        HDC dc = ::GetDC(hLink);
        SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hLink));
        m_colour = ::GetTextColor(dc);
        ::ReleaseDC(hLink, dc);
        // Opened, then refused by the shell with a known reason and with an unknown one.
        for (INT_PTR result : {INT_PTR(42), INT_PTR(SE_ERR_NOASSOC), INT_PTR(7)}) {
            m_link.launchResult = result;
            SendMessage(WM_COMMAND, MAKEWPARAM(kLinkId, STN_CLICKED), reinterpret_cast<LPARAM>(hLink));
            m_visited.push_back(m_link.m_bVisited);
        }
        SendMessage(WM_APP + 1);
        ::PostMessageA(m_hWnd, WM_COMMAND, IDCANCEL, 0);
        return true;
    }
};

TEST(FrameworkDialog, RoutesToTheLinkReportsAnEscapedExceptionOnceAndFreesTheLink) {
    auto dlg = std::make_unique<RoutingDialog>();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(dlg->DoModal(), IDCANCEL);
    const std::string reported = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(dlg->m_colour, RGB(0, 0, 238));
    EXPECT_TRUE(dlg->m_linkStyle & SS_NOTIFY) << "a static without it never reports a click";
    EXPECT_EQ(dlg->m_link.launched, std::vector<std::string>(3, "http://lumeno.example.org"));
    EXPECT_EQ(dlg->m_visited, (std::vector<BOOL>{TRUE, FALSE, FALSE}));
    EXPECT_EQ(dlg->m_link.messages,
              (std::vector<std::string>{
                  "Unable to open hyperlink:\n\nThere is no application associated\nwith the given filename extension.",
                  "Unable to open hyperlink:\n\nUnknown Error (7) occurred."}));
    const size_t at = reported.find("thrown by a handler");
    EXPECT_NE(at, std::string::npos) << reported;
    EXPECT_EQ(at, reported.rfind("thrown by a handler")) << reported;
    // The window is gone and the link let go of it; its objects go with the link.
    EXPECT_EQ(dlg->m_link.m_hWnd, nullptr);
    HGDIOBJ fonts[] = {dlg->m_link.m_fontPlain.m_hObject, dlg->m_link.m_fontUnderlined.m_hObject};
    HCURSOR cursor = dlg->m_link.m_hCursor;
    ASSERT_TRUE(fonts[0] && fonts[1] && cursor) << "the link made no fonts or cursor";
    dlg.reset();
    EXPECT_EQ(::GetObjectType(fonts[0]), 0u);
    EXPECT_EQ(::GetObjectType(fonts[1]), 0u);
    ICONINFO info;
    EXPECT_FALSE(::GetIconInfo(cursor, &info)) << "the cursor copy outlived the control";
}

}  // namespace
