// A static text control turned into a web link: link colours, underline
// while hovered, the target in a tooltip, a hand cursor, and a click that
// hands the target to the shell, with an English explanation when the shell
// refuses. A dialog takes an existing static over with DDX_Control; all
// set-up happens in PreSubclassWindow.
#pragma once

#include "framework/Wnd.h"

class CLinkStatic : public CStatic {
public:
    CLinkStatic();
    ~CLinkStatic() override;

    // -1: underlined only while hovered; 0: never; 1: always.
    void SetUnderlineMode(int nMode);
    void MarkVisited(BOOL bVisited);

    BOOL DestroyWindow() override;
    // Every message on its way to us also goes to the tooltip.
    BOOL PreTranslateMessage(MSG* pMsg) override;

    // ShellExecute "open" of the target; the shell's result (> 32 is success).
    static HINSTANCE LaunchTarget(const char* pszTarget, int nShowCmd);
    // The whole text of the box that explains a refused launch.
    static CString LaunchErrorText(int nError);

protected:
    void PreSubclassWindow() override;
    HBRUSH OnReflectedCtlColor(CDC* pDC, UINT nCtlColor) override;
    BOOL OnReflectedCommand(UINT nCode) override;
    BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message) override;
    void OnMouseMove(UINT nFlags, POINT point) override;
    void OnTimer(UINT_PTR nIDEvent) override;
    BOOL OnEraseBkgnd(CDC* pDC) override;
    void OnLinkClicked();

    void FitToText();
    void LoadLinkCursor();
    void ShowLaunchError(int nError);

    // The two ways out of the process, replaceable so tests run without a
    // browser or a modal box.
    virtual INT_PTR Launch(const char* pszTarget, int nShowCmd);
    virtual int ShowMessage(const char* pszText, UINT nType);

    COLORREF m_crLink;
    COLORREF m_crVisited;
    COLORREF m_crHover;
    BOOL m_bHover;
    BOOL m_bVisited;
    int m_nUnderlineMode;
    BOOL m_bAutoSize;
    CString m_strTarget;
    CFont m_fontUnderlined;
    CFont m_fontPlain;
    HCURSOR m_hCursor;
    CToolTipCtrl m_tipCtrl;
    UINT m_nHoverTimer;
};
