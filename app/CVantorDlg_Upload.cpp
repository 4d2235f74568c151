// The main window's side of the batch upload dialog.
#include "app/CVantorDlg.h"

#include "upload/CUploadFileDlg.h"

void CVantorDlg::OnBnClickedUpload() {
    m_btnUpload.setEnabled(false);
    if (m_pUploadDlg)
        return;
    // A modeless child window: Qt releases it with this window at the latest
    // (its destructor ends any tool still running); normally OnUploadClosed does.
    m_pUploadDlg = new CUploadFileDlg(this);
    connect(m_pUploadDlg, &CUploadFileDlg::uploadNotify, this,
            [this](uintptr_t wParam, intptr_t lParam) { OnUploadClosed(wParam, lParam); });
    m_pUploadDlg->setModal(false);
    m_pUploadDlg->show();
}

intptr_t CVantorDlg::OnUploadClosed(uintptr_t wParam, intptr_t) {
    if (wParam != 0)
        return 0;
    m_btnUpload.setEnabled(true);
    if (m_pUploadDlg) {
        // Called from within the dialog's own close handler: release it later.
        m_pUploadDlg->hide();
        m_pUploadDlg->deleteLater();
        m_pUploadDlg = nullptr;
    }
    return 0;
}
