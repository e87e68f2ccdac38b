#include "app/LumenoApp.h"

#include <winsock2.h>

#include "app/LumenoDlg.h"

// The one application object; the framework finds it through AfxGetApp.
CLumenoApp theApp;

namespace {

// Start-up problems: a box with no owner, and the program goes on.
void ShowStartupNotice(const char* pszText) {
    ::MessageBoxA(nullptr, pszText, "提示", MB_ICONINFORMATION | MB_OK);
}

}  // namespace

BOOL CLumenoApp::InitInstance() {
    Enable3dControls();

    WSADATA wsaData;
    if (::WSAStartup(0x0002, &wsaData) != 0) {
        // The record is not filled in after a failure, so there is no granted
        // version to test: the second notice and its WSACleanup are skipped.
        ShowStartupNotice("无法装载Socket库.");
    } else if (LOBYTE(wsaData.wVersion) != 2) {
        // Only the major version matters.
        ShowStartupNotice("无法找到合适的Socket库.");
        ::WSACleanup();
    }

    // Without sockets the window still opens; its queries then fail and say so.
    CLumenoDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

int CLumenoApp::ExitInstance() {
    ::WSACleanup();
    return CWinApp::ExitInstance();
}
