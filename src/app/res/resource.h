// Resource identifiers of the program, kept by hand. Shared by the C++ code
// and Lumeno.rc, so only #define lines here.
#pragma once

// Dialogs.
#define IDD_ABOUT 100
#define IDD_MAIN 102

// Strings.
#define IDS_ABOUT_MENU 101

// Icons.
#define IDI_APP 128

// Controls of the main window.
#define IDC_LONGITUDE 1001
#define IDC_LATITUDE 1002
#define IDC_RESULT1 1003
#define IDC_RESULT2 1004
#define IDC_RESULT3 1005
#define IDC_ALPHA_SPIN 1006
#define IDC_MANUAL 1008
#define IDC_EXAMPLE 1009

// Controls of the About box.
#define IDC_SITE_LINK 1011

// System-menu commands: the low four bits stay free, the system uses them.
#define IDM_ABOUT 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
