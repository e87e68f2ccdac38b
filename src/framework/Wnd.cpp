#include "framework/Wnd.h"

#include <cstdio>
#include <exception>
#include <vector>

namespace {

// Names the object of this process that a window belongs to.
constexpr char kObjectProperty[] = "Lumeno.CWnd";

void ReportEscapedException(UINT msg, const char* pszWhat) {
    char text[256];
    std::snprintf(text, sizeof(text), "Lumeno: exception in the handler of message 0x%04X: %s\n", msg, pszWhat);
    ::OutputDebugStringA(text);
    std::fputs(text, stderr);
}

}  // namespace

CWnd::~CWnd() {
    // A control object may die before its window (a dialog's member whose
    // dialog is destroyed later): our procedure must not outlive the object.
    if (m_bSubclassed && m_hWnd && ::IsWindow(m_hWnd)) {
        ::RemoveWindowSubclass(m_hWnd, &CWnd::SubclassProc, 0);
        Detach();
    }
}

CWnd* CWnd::FromAttached(HWND hWnd) {
    return hWnd ? static_cast<CWnd*>(::GetPropA(hWnd, kObjectProperty)) : nullptr;
}

void CWnd::Attach(HWND hWnd) {
    m_hWnd = hWnd;
    ::SetPropA(hWnd, kObjectProperty, this);
}

void CWnd::Detach() {
    if (m_hWnd && FromAttached(m_hWnd) == this)
        ::RemovePropA(m_hWnd, kObjectProperty);
}

BOOL CWnd::SubclassWindow(HWND hWnd) {
    if (m_hWnd || !hWnd)
        return FALSE;
    m_hWnd = hWnd;
    PreSubclassWindow();
    // Can fail under low memory or desktop heap exhaustion; the control then
    // simply keeps its own behaviour.
    if (!::SetWindowSubclass(hWnd, &CWnd::SubclassProc, 0, reinterpret_cast<DWORD_PTR>(this))) {
        m_hWnd = nullptr;
        return FALSE;
    }
    Attach(hWnd);
    m_bSubclassed = true;
    return TRUE;
}

BOOL CWnd::DestroyWindow() {
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

BOOL CWnd::PreTranslateMessage(MSG*) {
    return FALSE;
}

void CWnd::GetWindowText(CString& str) const {
    int length = ::GetWindowTextLengthA(m_hWnd);
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    int got = ::GetWindowTextA(m_hWnd, buffer.data(), length + 1);
    str = CString(buffer.data(), got);
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

void CWnd::SetFont(CFont* pFont, BOOL bRedraw) {
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(pFont ? pFont->m_hObject : nullptr), bRedraw);
}

LRESULT CWnd::Default() {
    if (!m_pCurrent)
        return 0;
    m_pCurrent->bDefaultAsked = true;
    return DefaultProcessing(m_pCurrent->msg, m_pCurrent->wp, m_pCurrent->lp);
}

LRESULT CWnd::DefaultProcessing(UINT msg, WPARAM wp, LPARAM lp) {
    return ::DefSubclassProc(m_hWnd, msg, wp, lp);
}

CWnd::Outcome CWnd::Dispatch(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult) {
    CurrentMessage current{msg, wp, lp, false};
    CurrentMessage* outer = m_pCurrent;
    m_pCurrent = &current;
    *pResult = 0;
    bool handled = false;
    // Our unwinder cannot pass through the system's dispatch code: stop here,
    // say so once, and let the default processing answer.
    try {
        handled = OnWndMsg(msg, wp, lp, pResult);
    } catch (const std::exception& e) {
        ReportEscapedException(msg, e.what());
    } catch (...) {
        ReportEscapedException(msg, "not a standard exception");
    }
    m_pCurrent = outer;
    if (!handled && !current.bDefaultAsked)
        return Outcome::Unhandled;
    return current.bDefaultAsked ? Outcome::Defaulted : Outcome::Handled;
}

bool CWnd::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult) {
    switch (msg) {
        case WM_COMMAND:
            *pResult = 0;
            return OnCommand(wp, lp) != FALSE;
        case WM_SYSCOMMAND:
            OnSysCommand(static_cast<UINT>(wp), lp);
            *pResult = 0;
            return true;
        case WM_PAINT:
            OnPaint();
            *pResult = 0;
            return true;
        case WM_QUERYDRAGICON:
            *pResult = reinterpret_cast<LRESULT>(OnQueryDragIcon());
            return true;
        case WM_VSCROLL:
            OnVScroll(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
            *pResult = 0;
            return true;
        case WM_TIMER:
            OnTimer(wp);
            *pResult = 0;
            return true;
        case WM_SETCURSOR:
            *pResult = OnSetCursor(FromAttached(reinterpret_cast<HWND>(wp)), LOWORD(lp), HIWORD(lp));
            return true;
        case WM_MOUSEMOVE:
            OnMouseMove(static_cast<UINT>(wp), POINT{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))});
            *pResult = 0;
            return true;
        case WM_ERASEBKGND: {
            CDC dc(reinterpret_cast<HDC>(wp));
            *pResult = OnEraseBkgnd(&dc);
            return true;
        }
    }
    return false;
}

// The base handlers hand the message on and answer what the default gave.
BOOL CWnd::OnCommand(WPARAM, LPARAM) {
    return FALSE;
}

void CWnd::OnSysCommand(UINT, LPARAM) {
    Default();
}

void CWnd::OnPaint() {
    Default();
}

HCURSOR CWnd::OnQueryDragIcon() {
    return reinterpret_cast<HCURSOR>(Default());
}

void CWnd::OnVScroll(UINT, UINT, HWND) {
    Default();
}

void CWnd::OnTimer(UINT_PTR) {
    Default();
}

BOOL CWnd::OnSetCursor(CWnd*, UINT, UINT) {
    return static_cast<BOOL>(Default());
}

void CWnd::OnMouseMove(UINT, POINT) {
    Default();
}

BOOL CWnd::OnEraseBkgnd(CDC*) {
    return static_cast<BOOL>(Default());
}

HBRUSH CWnd::OnReflectedCtlColor(CDC*, UINT) {
    return nullptr;
}

BOOL CWnd::OnReflectedCommand(UINT) {
    return FALSE;
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR ref) {
    CWnd* self = reinterpret_cast<CWnd*>(ref);
    if (msg == WM_NCDESTROY) {
        // The window goes away: detach before the original procedure runs,
        // so nothing reaches the object afterwards.
        ::RemoveWindowSubclass(hWnd, &CWnd::SubclassProc, 0);
        self->Detach();
        self->m_bSubclassed = false;
        self->m_hWnd = nullptr;
        return ::DefSubclassProc(hWnd, msg, wp, lp);
    }
    LRESULT result = 0;
    // A handler that asked for the default has already run it through Default().
    if (self->Dispatch(msg, wp, lp, &result) != Outcome::Unhandled)
        return result;
    return ::DefSubclassProc(hWnd, msg, wp, lp);
}

BOOL CFont::CreateFontIndirect(const LOGFONTA* pLogFont) {
    DeleteObject();
    m_hObject = ::CreateFontIndirectA(pLogFont);
    return m_hObject != nullptr;
}

BOOL CFont::DeleteObject() {
    if (!m_hObject)
        return FALSE;
    BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}

void CDC::FillSolidRect(const RECT& rect, COLORREF cr) {
    COLORREF old = ::SetBkColor(m_hDC, cr);
    ::ExtTextOutA(m_hDC, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
    ::SetBkColor(m_hDC, old);
}

SIZE CDC::GetTextExtent(const CString& str) const {
    SIZE size{0, 0};
    ::GetTextExtentPoint32A(m_hDC, str, str.GetLength(), &size);
    return size;
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) {
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC() {
    ::EndPaint(m_hWnd, &m_ps);
}

CClientDC::CClientDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) {
    m_hDC = ::GetDC(m_hWnd);
}

CClientDC::~CClientDC() {
    ::ReleaseDC(m_hWnd, m_hDC);
}

CToolTipCtrl::~CToolTipCtrl() {
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

BOOL CToolTipCtrl::Create(CWnd* pParentWnd, DWORD dwStyle) {
    m_hWnd = ::CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | dwStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, pParentWnd ? pParentWnd->m_hWnd : nullptr, nullptr,
                               ::GetModuleHandleA(nullptr), nullptr);
    return m_hWnd != nullptr;
}

BOOL CToolTipCtrl::AddTool(CWnd* pWnd, const char* pszText, const RECT* pRect, UINT_PTR nIDTool) {
    TOOLINFOA info;
    ZeroMemory(&info, sizeof(info));
    // The size of the oldest layout: every version of the control accepts it.
    info.cbSize = TTTOOLINFOA_V1_SIZE;
    info.hwnd = pWnd->m_hWnd;
    info.uId = nIDTool;
    if (pRect)
        info.rect = *pRect;
    info.hinst = nullptr;
    info.lpszText = const_cast<char*>(pszText);
    return static_cast<BOOL>(SendMessage(TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info)));
}

void CToolTipCtrl::RelayEvent(MSG* pMsg) {
    SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(pMsg));
}
