// Modal dialogs from resource templates, data exchange between controls and
// member strings, and per-class command tables.
#pragma once

#include <cstddef>

#include "framework/Wnd.h"

class CDataExchange;

// One row of a dialog's command table: a control id and notification code
// mapped to a member function. The compiler checks every handler's type.
template <class T>
struct CommandEntry {
    UINT id;    // control or menu id
    UINT code;  // BN_CLICKED, STN_CLICKED, ...
    void (T::*handler)();
};

// Runs the handler of the first matching row; false when no row matches.
template <class T, std::size_t N>
bool DispatchCommand(T& self, const CommandEntry<T> (&table)[N], WPARAM wp) {
    for (const CommandEntry<T>& entry : table) {
        if (entry.id == LOWORD(wp) && entry.code == HIWORD(wp)) {
            (self.*entry.handler)();
            return true;
        }
    }
    return false;
}

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the window from the template, disables the owner and runs our
    // own message loop until EndDialog. Returns the end id, -1 when the
    // window could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);

    // TRUE: controls into members; FALSE: members into controls.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    // Fills the controls from the members; TRUE lets the dialog manager set the focus.
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    // IDOK and IDCANCEL, then commands the application handles (ID_HELP).
    BOOL OnCommand(WPARAM wp, LPARAM lp) override;
    LRESULT DefaultProcessing(UINT msg, WPARAM wp, LPARAM lp) override;

    // The dialog's own messages (initialisation, commands routed through
    // attached controls, reflected colours), then those of every window.
    bool OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* pResult) override;

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK StaticDialogProc(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp);
    void RunModalLoop();
    // Offers the message to each attached window from its target up to this
    // dialog; true when one of them consumed it.
    bool PreTranslateChain(MSG* pMsg);
    BOOL RouteCommand(WPARAM wp, LPARAM lp);
    HBRUSH ReflectCtlColorToChild(HDC hDC, HWND hChild, UINT nCtlColor);

    bool m_bEndModal = false;
    int m_nModalResult = -1;
};

// Direction and target of one data exchange.
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// The control's text to or from the string.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// Subclasses the control with the object the first time; later calls do nothing.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
