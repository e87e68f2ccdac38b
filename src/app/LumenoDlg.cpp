#include "app/LumenoDlg.h"

#include <shellapi.h>

#include "app/AboutDlg.h"
#include "framework/WinApp.h"
#include "core/CoordinateParser.h"
#include "core/LocationQuery.h"
#include "core/ManualPath.h"
#include "app/res/resource.h"

namespace {

#ifndef LUMENO_LOOKUP_HOST
#define LUMENO_LOOKUP_HOST "127.0.0.1:18360"
#endif

const char* LookupHost() {
#ifdef LUMENO_TEST_HOST_VARIABLE
    // Test builds only: the interface tests point the program at their own
    // scripted lookup server through this environment variable.
    static char host[128];
    DWORD n = ::GetEnvironmentVariableA(LUMENO_TEST_HOST_VARIABLE, host, sizeof(host));
    if (n > 0 && n < sizeof(host))
        return host;
#endif
    return LUMENO_LOOKUP_HOST;
}

using SetLayeredWindowAttributesFn = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);

}  // namespace

const CommandEntry<CLumenoDlg> CLumenoDlg::s_commands[] = {
    {IDHELP, BN_CLICKED, &CLumenoDlg::OnHelpButton},
    {IDC_MANUAL, BN_CLICKED, &CLumenoDlg::OnManual},
    {IDC_EXAMPLE, STN_CLICKED, &CLumenoDlg::OnExample},
};

CLumenoDlg::CLumenoDlg(CWnd* pParentWnd) : CDialog(IDD_MAIN, pParentWnd), m_nAlpha(kAlphaInitial) {
    m_strLongitude = "";
    m_strLatitude = "";
    m_strResult1 = "";
    m_strResult2 = "";
    m_strResult3 = "";
    CWinApp* app = AfxGetApp();
    m_hIcon = app ? app->LoadIcon(IDI_APP) : ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDI_APP));
}

CLumenoDlg::~CLumenoDlg() = default;

void CLumenoDlg::OnOK() {
    UpdateData(TRUE);
    MapPoint point = ParseCoordinates(m_strLongitude, m_strLatitude);
    if (IsInServiceRegion(point)) {
        m_strSavedResult = m_strResult1;
        m_strResult1 = kWaitText;
        // The wait text must be on screen before the exchange blocks the window.
        UpdateData(FALSE);
        RequestLocationText(point.x, point.y);
    } else {
        m_strResult1 = kOutOfRegionText;
    }
    UpdateData(FALSE);
}

bool CLumenoDlg::IsInServiceRegion(MapPoint point) {
    return ::IsInServiceRegion(point);
}

int CLumenoDlg::RequestLocationText(int32_t x, int32_t y) {
    LookupReply reply = LookupLocationText(LookupHost(), MapPoint{x, y}, kLookupReceiveTimeoutMs);
    if (reply.nCode == kLookupOk) {
        m_strResult3 = m_strResult2;
        m_strResult2 = m_strSavedResult;
        m_strResult1 = reply.strText;
    }
    return reply.nCode;
}

void CLumenoDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_LONGITUDE, m_strLongitude);
    DDX_Text(pDX, IDC_LATITUDE, m_strLatitude);
    DDX_Text(pDX, IDC_RESULT1, m_strResult1);
    DDX_Text(pDX, IDC_RESULT2, m_strResult2);
    DDX_Text(pDX, IDC_RESULT3, m_strResult3);
}

BOOL CLumenoDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    // The template marks three buttons as default push buttons, and the
    // dialog manager would make Enter press one of the others; Enter in an
    // edit is meant to run the query.
    SendMessage(DM_SETDEFID, IDOK);

    if (HMENU hSysMenu = GetSystemMenu(FALSE)) {
        char text[256] = "";
        if (::LoadStringA(AfxGetResourceHandle(), IDS_ABOUT_MENU, text, sizeof(text)) > 0) {
            ::AppendMenuA(hSysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuA(hSysMenu, MF_STRING, IDM_ABOUT, text);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    ::SetWindowLongA(m_hWnd, GWL_EXSTYLE, static_cast<LONG>(GetExStyle() | WS_EX_LAYERED));
    ApplyOpacity();
    return TRUE;
}

void CLumenoDlg::OnCancel() {
    CDialog::OnCancel();
}

BOOL CLumenoDlg::OnCommand(WPARAM wp, LPARAM lp) {
    return DispatchCommand(*this, s_commands, wp) || CDialog::OnCommand(wp, lp);
}

void CLumenoDlg::ApplyOpacity() {
    // Looked up at each use: systems without layered windows lack the function.
    HMODULE hUser = ::LoadLibraryA("User32.DLL");
    if (!hUser)
        return;
    if (FARPROC proc = ::GetProcAddress(hUser, "SetLayeredWindowAttributes")) {
        auto setLayered = reinterpret_cast<SetLayeredWindowAttributesFn>(reinterpret_cast<void (*)()>(proc));
        setLayered(m_hWnd, 0, static_cast<BYTE>(m_nAlpha & 0xFF), LWA_ALPHA);
    }
    ::FreeLibrary(hUser);
}

void CLumenoDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    // The system keeps the low four bits of a command for itself.
    if ((nID & 0xFFF0) == IDM_ABOUT) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CLumenoDlg::OnHelpButton() {
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
}

void CLumenoDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.m_hDC), 0);
    int cxIcon = ::GetSystemMetrics(SM_CXICON);
    int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    // Centred; the division truncates toward zero when the icon is wider.
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CLumenoDlg::OnQueryDragIcon() {
    return reinterpret_cast<HCURSOR>(m_hIcon);
}

void CLumenoDlg::OnVScroll(UINT nSBCode, UINT nPos, HWND hScrollBar) {
    // Every notification counts once, whatever its code: position 0 makes
    // the window a step more opaque, any other position that much clearer.
    if (nPos == 0)
        m_nAlpha += 1;
    else
        m_nAlpha -= static_cast<int>(nPos);
    if (m_nAlpha > kAlphaMax)
        m_nAlpha = kAlphaMax;
    if (m_nAlpha < kAlphaMin)
        m_nAlpha = kAlphaMin;
    ::SetWindowLongA(m_hWnd, GWL_EXSTYLE, static_cast<LONG>(GetExStyle() | WS_EX_LAYERED));
    ApplyOpacity();
    CDialog::OnVScroll(nSBCode, nPos, hScrollBar);
}

void CLumenoDlg::OnManual() {
    char program[MAX_PATH] = "";
    DWORD n = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
    // n == MAX_PATH means the path was cut: there is no whole directory to use.
    if (n == 0 || n >= MAX_PATH)
        return;
    char document[MAX_PATH];
    if (!ComposeManualPath(program, document, sizeof(document)))
        return;
    ::ShellExecuteA(nullptr, "open", document, nullptr, nullptr, SW_SHOWNORMAL);
}

void CLumenoDlg::OnExample() {
    m_strLongitude = "113.65735";
    m_strLatitude = "34.79139167";
    UpdateData(FALSE);
}
