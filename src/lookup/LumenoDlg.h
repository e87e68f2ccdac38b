// The main window: two coordinate edits, the three location lines, the query,
// help and manual buttons, the clickable example and the up-down control
// that sets the window's transparency. The query itself lives in
// CLocationQuery; this class binds its strings to the controls.
#pragma once

#include "framework/Dialog.h"
#include "lookup/LocationQuery.h"

class CLumenoDlg : public CDialog, public CLocationQuery {
public:
    explicit CLumenoDlg(CWnd* pParentWnd = nullptr);
    ~CLumenoDlg() override;

    // The query reaches the controls through the dialog's data exchange.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE) override;
    // The query button and Enter: run the query; the dialog stays open.
    void OnOK() override;

    // Opacity bounds kept by the up-down control's handler.
    static constexpr int kAlphaMin = 100;
    static constexpr int kAlphaMax = 255;
    static constexpr int kAlphaInitial = 200;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    BOOL OnCommand(WPARAM wp, LPARAM lp) override;

    void OnSysCommand(UINT nID, LPARAM lParam) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;
    void OnVScroll(UINT nSBCode, UINT nPos, HWND hScrollBar) override;
    void OnHelpButton();
    void OnManual();
    void OnExample();

private:
    // Hands m_nAlpha to the system; silently nothing where layered windows
    // are not supported.
    void ApplyOpacity();

    static const CommandEntry<CLumenoDlg> s_commands[];

    int m_nAlpha;
    HICON m_hIcon;
};
