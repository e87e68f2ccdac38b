#include "framework/Dialog.h"

#include "framework/WinApp.h"

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        Detach();
        ::DestroyWindow(m_hWnd);
    }
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
        Detach();
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
        if (child && child != this && child->ReflectCommand(HIWORD(wp)))
            return TRUE;
    }
    return OnCommand(wp, lp);
}

HBRUSH CDialog::ReflectCtlColorToChild(HDC hDC, HWND hChild, UINT nCtlColor) {
    CWnd* child = CWnd::FromAttached(hChild);
    if (child && child != this) {
        CDC dc(hDC);
        return child->ReflectCtlColor(&dc, nCtlColor);
    }
    return nullptr;  // nobody claimed it: default colours
}

bool CDialog::OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult) {
    switch (msg) {
        case WM_INITDIALOG:
            *pResult = OnInitDialog();
            return true;
        case WM_COMMAND:
            *pResult = TRUE;
            return RouteCommand(wp, lp) != FALSE;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN: {
            static_assert(WM_CTLCOLOREDIT - WM_CTLCOLORMSGBOX == CTLCOLOR_EDIT &&
                              WM_CTLCOLORBTN - WM_CTLCOLORMSGBOX == CTLCOLOR_BTN &&
                              WM_CTLCOLORSTATIC - WM_CTLCOLORMSGBOX == CTLCOLOR_STATIC,
                          "the messages follow the CTLCOLOR_ codes");
            HBRUSH brush =
                ReflectCtlColorToChild(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), msg - WM_CTLCOLORMSGBOX);
            *pResult = reinterpret_cast<LRESULT>(brush);
            return brush != nullptr;
        }
    }
    return CWnd::OnWndMsg(msg, wp, lp, pResult);
}

INT_PTR CALLBACK CDialog::StaticDialogProc(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG)
        reinterpret_cast<CDialog*>(lp)->Attach(hWnd);
    // Messages before WM_INITDIALOG (WM_SETFONT) and after the object let go
    // of its window go to the dialog manager alone.
    CDialog* self = static_cast<CDialog*>(CWnd::FromAttached(hWnd));
    if (!self || self->m_hWnd != hWnd)
        return FALSE;
    LRESULT result = 0;
    // FALSE hands the message to the dialog manager, also when a handler asked for that.
    if (self->Dispatch(msg, wp, lp, &result) != Outcome::Handled)
        return FALSE;
    switch (msg) {
        // These answer through the return value; the rest through DWLP_MSGRESULT.
        case WM_INITDIALOG:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
            return result;
    }
    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
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
