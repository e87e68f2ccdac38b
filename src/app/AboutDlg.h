// The About box: icon, usage notes for the three notations, copyright and
// the web link.
#pragma once

#include "app/LinkStatic.h"
#include "framework/Dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    CLinkStatic m_link;
};
