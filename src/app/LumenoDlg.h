// The main window: two coordinate edits, the three location lines, the query,
// help and manual buttons, the clickable example and the up-down control
// that sets the window's transparency.
#pragma once

#include <cstdint>

#include "framework/Dialog.h"
#include "core/MapPoint.h"

class CLumenoDlg : public CDialog {
public:
    explicit CLumenoDlg(CWnd* pParentWnd = nullptr);
    ~CLumenoDlg() override;

    // One exchange with the lookup service; on success the location lines
    // rotate, on failure nothing is written. Returns the lookup's code.
    int RequestLocationText(int32_t x, int32_t y);
    static bool IsInServiceRegion(MapPoint point);

    // Opacity bounds kept by the up-down control's handler.
    static constexpr int kAlphaMin = 100;
    static constexpr int kAlphaMax = 255;
    static constexpr int kAlphaInitial = 200;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // The query button and Enter: run the query; the dialog stays open.
    void OnOK() override;
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

    CString m_strLongitude;
    CString m_strLatitude;
    CString m_strResult1;  // newest
    CString m_strResult2;
    CString m_strResult3;      // oldest
    CString m_strSavedResult;  // line 1 as it stood before the wait text replaced it
    int m_nAlpha;
    HICON m_hIcon;
};
