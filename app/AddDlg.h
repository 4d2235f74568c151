#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

// The modal dialog in which the operator types the UID (and a password) of the
// device to assign to the selected row. It checks nothing and touches neither
// the list nor the store; the caller reads m_strUID after an OK result.
class AddDlg : public QDialog {
    Q_OBJECT

public:
    explicit AddDlg(QWidget* parent = nullptr);

    void OnBnClickedOk();
    void OnBnClickedCancel();

    // Esc and the window manager's close end the dialog as Cancel does.
    void reject() override;

    QString m_strUID;
    QString m_strPassword;

private:
    QPushButton m_btnOk;
    QPushButton m_btnCancel;
    QLineEdit m_editUid;
    QLabel m_staticUid;
    QLineEdit m_editPassword;
    QLabel m_staticPassword;
};
