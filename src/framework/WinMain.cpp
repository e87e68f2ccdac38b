// The program's entry point, compiled into each program that links the
// framework (a static library's WinMain would never be pulled in).
#include <mbctype.h>

#include "framework/WinApp.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
    // Multibyte functions of the runtime follow the system's ANSI code page (GBK here).
    _setmbcp(_MB_CP_ANSI);
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
