#include "AddDlg.h"
#include "ControlId.h"
#include "MessageBox.h"
#include "Resource.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

class AddDlgTest : public QObject {
    Q_OBJECT

private:
    static QLineEdit* Edit(AddDlg& dlg, int id) { return qobject_cast<QLineEdit*>(FindControl(&dlg, id)); }
    static QPushButton* Button(AddDlg& dlg, int id) { return qobject_cast<QPushButton*>(FindControl(&dlg, id)); }

    // Runs the dialog modally; `act` runs once it is up.
    static int Run(AddDlg& dlg, const std::function<void()>& act) {
        QTimer::singleShot(0, &dlg, act);
        return dlg.exec();
    }

private slots:
    void templateControls() {
        AddDlg dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Dialog"));
        QVERIFY(!(dlg.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(dlg.windowFlags() & Qt::WindowSystemMenuHint));
        QVERIFY(dlg.windowFlags() & Qt::WindowTitleHint);
        QCOMPARE(dlg.size(), QSize(396, 191));

        QCOMPARE(Button(dlg, IDOK)->text(), QStringLiteral("保存"));
        QVERIFY(Button(dlg, IDOK)->isDefault());
        QCOMPARE(Button(dlg, IDOK)->geometry(), QRect(88, 133, 75, 22));
        QCOMPARE(Button(dlg, IDCANCEL)->text(), QStringLiteral("取消"));
        QCOMPARE(Button(dlg, IDCANCEL)->geometry(), QRect(232, 133, 75, 22));
        QCOMPARE(Edit(dlg, IDC_EDIT_UID)->geometry(), QRect(117, 35, 210, 24));
        QCOMPARE(Edit(dlg, IDC_EDIT_PASSWORD)->geometry(), QRect(117, 74, 210, 24));
        QCOMPARE(qobject_cast<QLabel*>(FindControl(&dlg, IDC_STATIC_UID))->text(), QStringLiteral("UID"));
        QCOMPARE(qobject_cast<QLabel*>(FindControl(&dlg, IDC_STATIC_PASSWORD))->text(), QStringLiteral("密码"));
        QCOMPARE(FindControl(&dlg, IDC_STATIC_PASSWORD)->geometry(), QRect(69, 74, 42, 24));
        QCOMPARE(Edit(dlg, IDC_EDIT_UID)->objectName(), QStringLiteral("IDC_EDIT_UID"));
        QVERIFY(Edit(dlg, IDC_EDIT_UID)->alignment() & Qt::AlignHCenter);
        QVERIFY(Edit(dlg, IDC_EDIT_PASSWORD)->alignment() & Qt::AlignHCenter);
        QVERIFY(dlg.m_strUID.isEmpty());
        QVERIFY(dlg.m_strPassword.isEmpty());

        // Tab order is template order; the save button has the focus at open.
        QCOMPARE(Button(dlg, IDOK)->nextInFocusChain(), Button(dlg, IDCANCEL));
        dlg.show();
        QCOMPARE(dlg.focusWidget(), Button(dlg, IDOK));
    }

    void saveReturnsTheTextsAsTyped() {
        AddDlg dlg;
        const int result = Run(dlg, [&dlg] {
            QTest::keyClicks(Edit(dlg, IDC_EDIT_UID), QStringLiteral("  CAM 01  "));
            QTest::keyClicks(Edit(dlg, IDC_EDIT_PASSWORD), QStringLiteral(" pw "));
            Button(dlg, IDOK)->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(dlg.m_strUID, QStringLiteral("  CAM 01  "));
        QCOMPARE(dlg.m_strPassword, QStringLiteral(" pw "));
    }

    void saveWithEmptyFieldsAndEnter() {
        AddDlg dlg;
        const int result = Run(dlg, [&dlg] { QTest::keyClick(Edit(dlg, IDC_EDIT_UID), Qt::Key_Return); });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(dlg.m_strUID, QString());
        QCOMPARE(dlg.m_strPassword, QString());
    }

    void cancelAndEscEmptyBothTexts() {
        {
            AddDlg dlg;
            const int result = Run(dlg, [&dlg] {
                QTest::keyClicks(Edit(dlg, IDC_EDIT_UID), QStringLiteral("typed"));
                QTest::keyClicks(Edit(dlg, IDC_EDIT_PASSWORD), QStringLiteral("also typed"));
                Button(dlg, IDCANCEL)->click();
            });
            QCOMPARE(result, int(QDialog::Rejected));
            QVERIFY(dlg.m_strUID.isEmpty());
            QVERIFY(dlg.m_strPassword.isEmpty());
        }
        {
            AddDlg dlg;
            dlg.m_strUID = QStringLiteral("left over");
            const int result = Run(dlg, [&dlg] {
                QTest::keyClicks(Edit(dlg, IDC_EDIT_UID), QStringLiteral("typed"));
                QTest::keyClick(Edit(dlg, IDC_EDIT_UID), Qt::Key_Escape);
            });
            QCOMPARE(result, int(QDialog::Rejected));
            QVERIFY(dlg.m_strUID.isEmpty());
        }
    }

    void tooLongUidIsRefusedWithTheDialogStillOpen() {
        // 31 characters (three of them not ASCII): refused with a message;
        // cut to 30 it is saved.
        MessageBox::SetRecording(true);
        AddDlg dlg;
        const QString tooLong = QStringLiteral("设备号") + QString(28, QLatin1Char('u'));
        const int result = Run(dlg, [&dlg, tooLong] {
            Edit(dlg, IDC_EDIT_UID)->setText(tooLong);
            Button(dlg, IDOK)->click();
            QVERIFY(dlg.isVisible());
            QCOMPARE(MessageBox::TakeRecorded().size(), 1);
            Edit(dlg, IDC_EDIT_UID)->end(false);
            QTest::keyClick(Edit(dlg, IDC_EDIT_UID), Qt::Key_Backspace);
            Button(dlg, IDOK)->click();
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(dlg.m_strUID, tooLong.left(30));
        QVERIFY(MessageBox::TakeRecorded().isEmpty());
        QCOMPARE(Edit(dlg, IDC_EDIT_PASSWORD)->echoMode(), QLineEdit::Normal);
    }
};

QTEST_MAIN(AddDlgTest)
#include "AddDlgTest.moc"
