// The main window's side of the batch upload dialog.
#include "CVantorDlg.h"

void CVantorDlg::OnBnClickedUpload() {}

intptr_t CVantorDlg::OnUploadClosed(uintptr_t, intptr_t) {
    return 0;
}
