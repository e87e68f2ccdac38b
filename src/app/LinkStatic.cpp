#include "app/LinkStatic.h"

#include <shellapi.h>

#include "framework/WinApp.h"

namespace {

constexpr UINT kHoverPeriodMs = 100;
constexpr UINT_PTR kToolId = 1;
constexpr WORD kHelpViewerLinkCursor = 106;

}  // namespace

CLinkStatic::CLinkStatic()
    : m_crLink(RGB(0, 0, 238)),
      m_crVisited(RGB(85, 26, 139)),
      m_crHover(RGB(255, 0, 0)),
      m_bHover(FALSE),
      m_bVisited(FALSE),
      m_nUnderlineMode(-1),
      m_bAutoSize(TRUE),
      m_hCursor(nullptr),
      m_nHoverTimer(100) {}

CLinkStatic::~CLinkStatic() {
    m_fontUnderlined.DeleteObject();
    // The cursor is our own copy: without this every opening of the box
    // would leak one cursor handle.
    if (m_hCursor)
        ::DestroyCursor(m_hCursor);
}

void CLinkStatic::PreSubclassWindow() {
    ::SetWindowLongA(m_hWnd, GWL_STYLE, static_cast<LONG>(GetStyle() | SS_NOTIFY));

    CString text;
    GetWindowText(text);
    if (m_strTarget.IsEmpty())
        m_strTarget = text;
    if (text.IsEmpty())
        SetWindowText(m_strTarget);

    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessage(WM_GETFONT));
    if (!font)
        font = ::GetStockObject(DEFAULT_GUI_FONT);
    if (!font)
        font = ::GetStockObject(ANSI_VAR_FONT);
    LOGFONTA logFont;
    ZeroMemory(&logFont, sizeof(logFont));
    ::GetObjectA(font, sizeof(logFont), &logFont);
    m_fontPlain.CreateFontIndirect(&logFont);
    logFont.lfUnderline = TRUE;
    m_fontUnderlined.CreateFontIndirect(&logFont);

    FitToText();
    LoadLinkCursor();
    SetUnderlineMode(-1);

    RECT client;
    GetClientRect(&client);
    if (m_tipCtrl.Create(this, 0))
        m_tipCtrl.AddTool(this, m_strTarget, &client, kToolId);

    CStatic::PreSubclassWindow();
}

BOOL CLinkStatic::DestroyWindow() {
    KillTimer(m_nHoverTimer);
    return CStatic::DestroyWindow();
}

BOOL CLinkStatic::PreTranslateMessage(MSG* pMsg) {
    if (m_tipCtrl.m_hWnd)
        m_tipCtrl.RelayEvent(pMsg);
    return CStatic::PreTranslateMessage(pMsg);
}

HBRUSH CLinkStatic::OnReflectedCtlColor(CDC* pDC, UINT) {
    // Hover wins over visited.
    if (m_bHover)
        pDC->SetTextColor(m_crHover);
    else if (m_bVisited)
        pDC->SetTextColor(m_crVisited);
    else
        pDC->SetTextColor(m_crLink);
    pDC->SetBkColor(::GetSysColor(COLOR_SCROLLBAR));
    return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

BOOL CLinkStatic::OnReflectedCommand(UINT nCode) {
    if (nCode != STN_CLICKED)
        return FALSE;
    OnLinkClicked();
    return TRUE;
}

BOOL CLinkStatic::OnEraseBkgnd(CDC* pDC) {
    RECT client;
    GetClientRect(&client);
    pDC->FillSolidRect(client, RGB(0, 0, 0));
    return TRUE;
}

void CLinkStatic::OnMouseMove(UINT, POINT) {
    if (!m_bHover) {
        m_bHover = TRUE;
        if (m_nUnderlineMode == -1)
            SetFont(&m_fontUnderlined, TRUE);
        Invalidate(TRUE);
        SetTimer(m_nHoverTimer, kHoverPeriodMs);
    }
    Default();
}

void CLinkStatic::OnTimer(UINT_PTR) {
    DWORD pos = ::GetMessagePos();
    POINT point{static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
    ::ScreenToClient(m_hWnd, &point);
    RECT client;
    GetClientRect(&client);
    if (!::PtInRect(&client, point)) {
        m_bHover = FALSE;
        KillTimer(m_nHoverTimer);
        if (m_nUnderlineMode != 1)
            SetFont(&m_fontPlain, TRUE);
        // A little below the control too: the underline may reach past it.
        client.bottom += 10;
        ::InvalidateRect(m_hWnd, &client, TRUE);
    }
    Default();
}

BOOL CLinkStatic::OnSetCursor(CWnd*, UINT, UINT) {
    if (!m_hCursor)
        return FALSE;
    ::SetCursor(m_hCursor);
    return TRUE;
}

void CLinkStatic::OnLinkClicked() {
    m_bHover = FALSE;
    INT_PTR result = Launch(m_strTarget, SW_SHOW);
    m_bVisited = result > 32;
    if (m_bVisited) {
        MarkVisited(TRUE);
    } else {
        ::MessageBeep(MB_ICONEXCLAMATION);
        ShowLaunchError(static_cast<int>(result));
    }
}

INT_PTR CLinkStatic::Launch(const char* pszTarget, int nShowCmd) {
    return reinterpret_cast<INT_PTR>(LaunchTarget(pszTarget, nShowCmd));
}

HINSTANCE CLinkStatic::LaunchTarget(const char* pszTarget, int nShowCmd) {
    return ::ShellExecuteA(nullptr, "open", pszTarget, nullptr, nullptr, nShowCmd);
}

CString CLinkStatic::LaunchErrorText(int nError) {
    const char* reason = nullptr;
    switch (nError) {
        case 0:
            reason = "The operating system is out\nof memory or resources.";
            break;
        case SE_ERR_FNF:
            reason = "The specified file was not found.";
            break;
        case SE_ERR_PNF:
            reason = "The specified path was not found.";
            break;
        case SE_ERR_ACCESSDENIED:
            reason = "The operating system denied\naccess to the specified file.";
            break;
        case SE_ERR_OOM:
            reason = "There was not enough memory to complete the operation.";
            break;
        case ERROR_BAD_FORMAT:
            reason = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
            break;
        case SE_ERR_SHARE:
            reason = "A sharing violation occurred. ";
            break;
        case SE_ERR_ASSOCINCOMPLETE:
            reason = "The filename association is\nincomplete or invalid.";
            break;
        case SE_ERR_DDETIMEOUT:
            reason = "The DDE transaction could not\nbe completed because the request timed out.";
            break;
        case SE_ERR_DDEFAIL:
            reason = "The DDE transaction failed.";
            break;
        case SE_ERR_DDEBUSY:
            reason =
                "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
            break;
        case SE_ERR_NOASSOC:
            reason = "There is no application associated\nwith the given filename extension.";
            break;
        case SE_ERR_DLLNOTFOUND:
            reason = "The specified dynamic-link library was not found.";
            break;
    }
    CString text;
    if (reason)
        text.Format("Unable to open hyperlink:\n\n%s", reason);
    else
        text.Format("Unable to open hyperlink:\n\nUnknown Error (%d) occurred.", nError);
    return text;
}

void CLinkStatic::ShowLaunchError(int nError) {
    ShowMessage(LaunchErrorText(nError), MB_ICONEXCLAMATION | MB_OK);
}

int CLinkStatic::ShowMessage(const char* pszText, UINT nType) {
    return AfxMessageBox(pszText, nType, 0);
}

void CLinkStatic::FitToText() {
    if (!IsWindow() || !m_bAutoSize)
        return;
    RECT window;
    RECT client;
    GetWindowRect(&window);
    GetClientRect(&client);
    ::ClientToScreen(m_hWnd, reinterpret_cast<POINT*>(&client.left));
    ::ClientToScreen(m_hWnd, reinterpret_cast<POINT*>(&client.right));
    if (HWND hParent = GetParent()) {
        ::MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&window), 2);
        ::MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&client), 2);
    }

    CString text;
    GetWindowText(text);
    SIZE extent;
    {
        CClientDC dc(this);
        HGDIOBJ old = dc.SelectObject(m_fontUnderlined);
        extent = dc.GetTextExtent(text);
        dc.SelectObject(old);
    }

    int windowWidth = window.right - window.left;
    int windowHeight = window.bottom - window.top;
    int width = extent.cx + windowWidth - (client.right - client.left);
    int height = extent.cy + windowHeight - (client.bottom - client.top);

    DWORD style = GetStyle();
    if (style & SS_CENTERIMAGE) {
        int half = (windowHeight - height) / 2;
        window.top += half;
        window.bottom -= half;
    } else {
        window.bottom = window.top + height;
    }
    if (style & SS_CENTER) {
        int half = (windowWidth - width) / 2;
        window.left += half;
        window.right -= half;
    } else if (style & SS_RIGHT) {
        window.left = window.right - width;
    } else {
        window.right = window.left + width;
    }
    ::SetWindowPos(m_hWnd, nullptr, window.left, window.top, window.right - window.left, window.bottom - window.top,
                   SWP_NOZORDER);
}

void CLinkStatic::LoadLinkCursor() {
    if (m_hCursor)
        return;
    char path[MAX_PATH + 16] = "";
    UINT n = ::GetWindowsDirectoryA(path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        lstrcatA(path, "\\winhlp32.exe");
        // Only its resources are wanted: load it as data, no code runs.
        if (HMODULE hModule = ::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
            if (HCURSOR hCursor = ::LoadCursorA(hModule, MAKEINTRESOURCEA(kHelpViewerLinkCursor)))
                m_hCursor = ::CopyIcon(hCursor);
            ::FreeLibrary(hModule);
        }
    }
    // Where the help viewer or its cursor is missing, the system's hand.
    if (!m_hCursor) {
        if (HCURSOR hHand = ::LoadCursorA(nullptr, IDC_HAND))
            m_hCursor = ::CopyIcon(hHand);
    }
}

void CLinkStatic::SetUnderlineMode(int nMode) {
    if (nMode == m_nUnderlineMode)
        return;
    if (IsWindow()) {
        SetFont(nMode == 1 ? &m_fontUnderlined : &m_fontPlain, TRUE);
        Invalidate(TRUE);
    }
    m_nUnderlineMode = nMode;
}

void CLinkStatic::MarkVisited(BOOL bVisited) {
    m_bVisited = bVisited;
    if (IsWindow())
        Invalidate(TRUE);
}
