#include "app/AboutDlg.h"

#include "app/res/resource.h"

// No parent: the framework makes the main window the owner while the box runs.
CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUT) {}

void CAboutDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_SITE_LINK, m_link);
}
