#include "app/AddDlg.h"
#include "app/ControlId.h"
#include "app/MessageBox.h"
#include "app/Resource.h"

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

    // The texts come back exactly as typed on save (button or Enter) and
    // empty on cancel (button or Esc), whatever the fields held before.
    void endingTheDialog_data() {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("key"); // 0: click the button of `result`
        QTest::addColumn<int>("result");
        auto row = [](const char* name, const char* uid, const char* password, int key, int result) {
            QTest::newRow(name) << QString(uid) << QString(password) << key << result;
        };
        row("save keeps spaces", "  CAM 01  ", " pw ", 0, QDialog::Accepted);
        row("Enter saves empty fields", "", "", Qt::Key_Return, QDialog::Accepted);
        row("cancel empties both", "typed", "also typed", 0, QDialog::Rejected);
        row("Esc empties both", "typed", "", Qt::Key_Escape, QDialog::Rejected);
    }
    void endingTheDialog() {
        QFETCH(QString, uid);
        QFETCH(QString, password);
        QFETCH(int, key);
        QFETCH(int, result);
        AddDlg dlg;
        dlg.m_strUID = dlg.m_strPassword = QStringLiteral("left over");
        QCOMPARE(Run(dlg,
                     [&] {
                         QTest::keyClicks(Edit(dlg, IDC_EDIT_UID), uid);
                         QTest::keyClicks(Edit(dlg, IDC_EDIT_PASSWORD), password);
                         if (key)
                             QTest::keyClick(Edit(dlg, IDC_EDIT_UID), Qt::Key(key));
                         else
                             Button(dlg, result == QDialog::Accepted ? IDOK : IDCANCEL)->click();
                     }),
                 result);
        QCOMPARE(dlg.m_strUID, result == QDialog::Accepted ? uid : QString());
        QCOMPARE(dlg.m_strPassword, result == QDialog::Accepted ? password : QString());
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
