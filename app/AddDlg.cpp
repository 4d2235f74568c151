#include "app/AddDlg.h"

#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "app/Resource.h"

namespace {

// Dialog units of the 8-point dialog font, in pixels.
int DluX(int x) {
    return x * 3 / 2;
}
int DluY(int y) {
    return y * 13 / 8;
}

void Place(QWidget* control, int x, int y, int w, int h) {
    control->setGeometry(DluX(x), DluY(y), DluX(w), DluY(h));
}

} // namespace

AddDlg::AddDlg(QWidget* parent)
    : QDialog(parent), m_btnOk(this), m_btnCancel(this), m_editUid(this), m_staticUid(this), m_editPassword(this),
      m_staticPassword(this) {
    // Caption only: no system menu, no close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QStringLiteral("Dialog"));
    setFixedSize(DluX(264), DluY(118));

    // Created in template order, which is also the tab order.
    SetControlId(&m_btnOk, IDOK, "IDOK");
    m_btnOk.setText(tr("保存"));
    m_btnOk.setDefault(true);
    Place(&m_btnOk, 59, 82, 50, 14);

    SetControlId(&m_btnCancel, IDCANCEL, "IDCANCEL");
    m_btnCancel.setText(tr("取消"));
    Place(&m_btnCancel, 155, 82, 50, 14);

    SetControlId(&m_editUid, IDC_EDIT_UID, "IDC_EDIT_UID");
    m_editUid.setAlignment(Qt::AlignCenter);
    Place(&m_editUid, 78, 22, 140, 15);

    SetControlId(&m_staticUid, IDC_STATIC_UID, "IDC_STATIC_UID");
    m_staticUid.setText(QStringLiteral("UID"));
    m_staticUid.setAlignment(Qt::AlignCenter);
    Place(&m_staticUid, 46, 22, 28, 15);

    SetControlId(&m_editPassword, IDC_EDIT_PASSWORD, "IDC_EDIT_PASSWORD");
    m_editPassword.setAlignment(Qt::AlignCenter);
    m_editPassword.setEchoMode(QLineEdit::Normal);
    Place(&m_editPassword, 78, 46, 140, 15);

    SetControlId(&m_staticPassword, IDC_STATIC_PASSWORD, "IDC_STATIC_PASSWORD");
    m_staticPassword.setText(tr("密码"));
    m_staticPassword.setAlignment(Qt::AlignCenter);
    Place(&m_staticPassword, 46, 46, 28, 15);

    connect(&m_btnOk, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(&m_btnCancel, &QPushButton::clicked, this, [this] { OnBnClickedCancel(); });

    m_btnOk.setFocus();
}

void AddDlg::OnBnClickedOk() {
    // The UID column holds 30 characters: a longer UID is refused here, with
    // the dialog still open, rather than cut or lost at the store write.
    const QString uid = m_editUid.text();
    const qsizetype length = uid.toUcs4().size();
    if (length > DeviceStore::UID_MAX_CHARS) {
        MessageBox::ShowError(
            this, tr("UID 不能超过 %1 个字符（现在是 %2 个）。").arg(DeviceStore::UID_MAX_CHARS).arg(length));
        m_editUid.setFocus();
        return;
    }
    m_strUID = uid;
    m_strPassword = m_editPassword.text();
    accept();
}

void AddDlg::OnBnClickedCancel() {
    m_strUID.clear();
    m_strPassword.clear();
    QDialog::reject();
}

void AddDlg::reject() {
    OnBnClickedCancel();
}
