#include "framework/Dialog.h"

#include "framework/WinApp.h"

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

CDialog* CDialog::FromDialogHandle(HWND hWnd) {
    if (!hWnd || ::GetWindowLongPtrA(hWnd, DWLP_DLGPROC) != reinterpret_cast<LONG_PTR>(&CDialog::StaticDialogProc))
        return nullptr;
    return reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
}

INT_PTR CDialog::DoModal() {
    // Without a parent the dialog is owned by the application's main window,
    // if there is one and it is not this dialog.
    HWND hOwner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!hOwner) {
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd && app->m_pMainWnd != this)
            hOwner = app->m_pMainWnd->m_hWnd;
    }
    if (hOwner)
        hOwner = ::GetAncestor(hOwner, GA_ROOT);
    bool bOwnerDisabled = false;
    if (hOwner && ::IsWindowEnabled(hOwner)) {
        ::EnableWindow(hOwner, FALSE);
        bOwnerDisabled = true;
    }

    m_bEndModal = false;
    m_nModalResult = -1;
    HWND hWnd = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), hOwner,
                                     &CDialog::StaticDialogProc, reinterpret_cast<LPARAM>(this));
    if (hWnd) {
        if (!m_bEndModal && !::IsWindowVisible(hWnd))
            ::ShowWindow(hWnd, SW_SHOWNORMAL);
        RunModalLoop();
    }
    // Enable the owner before the dialog goes, or activation moves to some
    // other program's window.
    if (bOwnerDisabled)
        ::EnableWindow(hOwner, TRUE);
    if (hWnd && ::IsWindow(hWnd)) {
        if (hOwner && ::GetActiveWindow() == hWnd)
            ::SetActiveWindow(hOwner);
        ::DestroyWindow(hWnd);
    }
    m_hWnd = nullptr;
    return hWnd ? m_nModalResult : -1;
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_bEndModal = true;
    // Wake the loop in case it waits in GetMessage.
    if (m_hWnd)
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

void CDialog::RunModalLoop() {
    MSG msg;
    while (!m_bEndModal && ::IsWindow(m_hWnd)) {
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1)
            break;
        if (got == 0) {
            // WM_QUIT: leave, and let an outer loop see it too.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (PreTranslateChain(&msg) || ::IsDialogMessageA(m_hWnd, &msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

bool CDialog::PreTranslateChain(MSG* pMsg) {
    for (HWND h = pMsg->hwnd; h; h = ::GetParent(h)) {
        if (CWnd* wnd = CWnd::FromAttached(h)) {
            if (wnd->PreTranslateMessage(pMsg))
                return true;
        }
        if (h == m_hWnd)
            break;
    }
    return false;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    if (!m_hWnd)
        return FALSE;
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnCommand(WPARAM wp, LPARAM) {
    switch (LOWORD(wp)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
    }
    CWinApp* app = AfxGetApp();
    return app && app->OnCommand(wp);
}

LRESULT CDialog::DefaultProcessing(UINT, WPARAM, LPARAM) {
    // The dialog manager runs after our procedure returns FALSE; the flag
    // that Default() set tells DialogProc to do so.
    return 0;
}

BOOL CDialog::RouteCommand(WPARAM wp, LPARAM lp) {
    // A notification from an attached control goes to that control first.
    if (HWND hChild = reinterpret_cast<HWND>(lp)) {
        CWnd* child = CWnd::FromAttached(hChild);
        if (child && child != this && child->OnReflectedCommand(HIWORD(wp)))
            return TRUE;
    }
    return OnCommand(wp, lp);
}

INT_PTR CDialog::ReflectCtlColor(HDC hDC, HWND hChild, UINT nCtlColor) {
    CWnd* child = CWnd::FromAttached(hChild);
    if (child && child != this) {
        CDC dc(hDC);
        if (HBRUSH brush = child->OnReflectedCtlColor(&dc, nCtlColor))
            return reinterpret_cast<INT_PTR>(brush);  // returned as is, not through DWLP_MSGRESULT
    }
    return FALSE;  // nobody claimed it: default colours
}

INT_PTR CDialog::DialogProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            return RouteCommand(wp, lp);
        case WM_CTLCOLORSTATIC:
            return ReflectCtlColor(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), CTLCOLOR_STATIC);
        case WM_CTLCOLOREDIT:
            return ReflectCtlColor(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), CTLCOLOR_EDIT);
        case WM_CTLCOLORBTN:
            return ReflectCtlColor(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), CTLCOLOR_BTN);
    }
    LRESULT result = 0;
    bool defaultAsked = false;
    if (!Dispatch(msg, wp, lp, &result, &defaultAsked) || defaultAsked)
        return FALSE;
    // These answer through the return value; the rest through DWLP_MSGRESULT.
    if (msg == WM_QUERYDRAGICON)
        return result;
    ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CALLBACK CDialog::StaticDialogProc(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDialog* self;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lp);
        self->m_hWnd = hWnd;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, lp);
    } else {
        self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (WM_SETFONT) and after the object let go
    // of its window go to the dialog manager alone.
    if (!self || self->m_hWnd != hWnd)
        return FALSE;
    // No exception may cross the system's dispatch code: catch at the boundary.
    try {
        return self->DialogProc(msg, wp, lp);
    } catch (...) {
        return FALSE;
    }
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    HWND hCtrl = pDX->m_pDlgWnd->GetDlgItem(nIDC);
    if (!hCtrl)
        return;
    if (pDX->m_bSaveAndValidate) {
        CWnd control;
        control.m_hWnd = hCtrl;
        control.GetWindowText(value);
        control.m_hWnd = nullptr;
    } else {
        ::SetWindowTextA(hCtrl, value);
    }
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd)
        return;
    rControl.SubclassWindow(pDX->m_pDlgWnd->GetDlgItem(nIDC));
}
