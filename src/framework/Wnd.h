// Window wrappers of our small framework layer: CWnd and the few control,
// font and device-context classes the program's windows use.
//
// Messages are cracked in one place (CWnd::OnWndMsg) and become virtual calls
// with typed arguments; a class overrides only the handlers it needs, and the
// base handlers ask for default processing through Default(). Controls that
// have behaviour of their own are subclassed with SetWindowSubclass, and their
// parent reflects WM_CTLCOLOR* and WM_COMMAND notifications back to them.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "core/String.h"

class CDC;
class CFont;

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    operator HWND() const { return m_hWnd; }  // NOLINT: passes straight to the API

    // The object attached to a window of this process: a subclassed control
    // or one of our dialogs, both found through the same window property.
    // Null for any other window.
    static CWnd* FromAttached(HWND hWnd);

    // Takes an existing window over: PreSubclassWindow runs first, then our
    // procedure sees every message. Fails when the object already has a window.
    BOOL SubclassWindow(HWND hWnd);
    virtual BOOL DestroyWindow();

    // Hooks for the modal loop: a window may consume a message before the
    // dialog manager and TranslateMessage see it.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

    // Hands the message now being handled to the window's default processing.
    LRESULT Default();

    // A parent hands a child's notification back to the child's object.
    HBRUSH ReflectCtlColor(CDC* pDC, UINT nCtlColor) { return OnReflectedCtlColor(pDC, nCtlColor); }
    BOOL ReflectCommand(UINT nCode) { return OnReflectedCommand(nCode); }

    // Thin wrappers over the API, for readability at the call sites.
    LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const { return ::SendMessageA(m_hWnd, msg, wp, lp); }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    void SetWindowText(const char* psz) { ::SetWindowTextA(m_hWnd, psz); }
    void GetWindowText(CString& str) const;
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongA(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongA(m_hWnd, GWL_EXSTYLE)); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }
    void GetClientRect(RECT* pRect) const { ::GetClientRect(m_hWnd, pRect); }
    void GetWindowRect(RECT* pRect) const { ::GetWindowRect(m_hWnd, pRect); }
    void Invalidate(BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    HMENU GetSystemMenu(BOOL bRevert) const { return ::GetSystemMenu(m_hWnd, bRevert); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse) { return ::SetTimer(m_hWnd, nIDEvent, nElapse, nullptr); }
    BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }

protected:
    // The one place that unpacks wParam and lParam. Returns true when the
    // message has a handler here; *pResult then holds the handler's answer.
    virtual bool OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult);
    // Default processing of the message being handled; differs between a
    // subclassed control (the original procedure) and a dialog (the dialog manager).
    virtual LRESULT DefaultProcessing(UINT msg, WPARAM wp, LPARAM lp);
    // Called by SubclassWindow before the first message reaches us.
    virtual void PreSubclassWindow() {}

    // Typed handlers. Each base version passes the message to Default().
    virtual BOOL OnCommand(WPARAM wp, LPARAM lp);
    virtual void OnSysCommand(UINT nID, LPARAM lParam);
    virtual void OnPaint();
    virtual HCURSOR OnQueryDragIcon();
    virtual void OnVScroll(UINT nSBCode, UINT nPos, HWND hScrollBar);
    virtual void OnTimer(UINT_PTR nIDEvent);
    virtual BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);
    virtual void OnMouseMove(UINT nFlags, POINT point);
    virtual BOOL OnEraseBkgnd(CDC* pDC);

    // Reflected from the parent. A null brush or FALSE means "not mine", so
    // the parent falls back to its own handling.
    virtual HBRUSH OnReflectedCtlColor(CDC* pDC, UINT nCtlColor);
    virtual BOOL OnReflectedCommand(UINT nCode);

    // Where a message stands while its handler runs; one per nesting level,
    // since a handler may run a modal loop that dispatches to us again.
    struct CurrentMessage {
        UINT msg;
        WPARAM wp;
        LPARAM lp;
        bool bDefaultAsked;
    };
    CurrentMessage* m_pCurrent = nullptr;

    // How Dispatch left a message.
    enum class Outcome {
        Unhandled,  // no handler: the caller runs the default processing
        Handled,    // a handler answered in *pResult
        Defaulted,  // the handler handed it to Default(), which has run (or, for a dialog, asked for) it
    };
    // The one path of every message to an attached window: runs OnWndMsg
    // with m_pCurrent set. An exception that escapes a handler is reported
    // here and never crosses the system's dispatch code.
    Outcome Dispatch(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult);

    // Makes the window findable through FromAttached, or no longer.
    void Attach(HWND hWnd);
    void Detach();

private:
    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR ref);
    bool m_bSubclassed = false;
};

class CStatic : public CWnd {};

// A GDI font owned by the object: deleted with it.
class CFont {
public:
    CFont() = default;
    ~CFont() { DeleteObject(); }
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;

    HFONT m_hObject = nullptr;
    operator HFONT() const { return m_hObject; }  // NOLINT
    BOOL CreateFontIndirect(const LOGFONTA* pLogFont);
    BOOL DeleteObject();
};

// A device context wrapper that does not own its handle.
class CDC {
public:
    explicit CDC(HDC hDC = nullptr) : m_hDC(hDC) {}
    virtual ~CDC() = default;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC m_hDC;
    COLORREF SetTextColor(COLORREF cr) { return ::SetTextColor(m_hDC, cr); }
    COLORREF SetBkColor(COLORREF cr) { return ::SetBkColor(m_hDC, cr); }
    HGDIOBJ SelectObject(HGDIOBJ hObject) { return ::SelectObject(m_hDC, hObject); }
    void FillSolidRect(const RECT& rect, COLORREF cr);
    SIZE GetTextExtent(const CString& str) const;
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }
};

// BeginPaint / EndPaint for the life of the object.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};

// GetDC / ReleaseDC for the life of the object.
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* pWnd);
    ~CClientDC() override;

private:
    HWND m_hWnd;
};

// A tooltip window owned by the object.
class CToolTipCtrl : public CWnd {
public:
    ~CToolTipCtrl() override;
    BOOL Create(CWnd* pParentWnd, DWORD dwStyle = 0);
    BOOL AddTool(CWnd* pWnd, const char* pszText, const RECT* pRect, UINT_PTR nIDTool);
    void RelayEvent(MSG* pMsg);
};
