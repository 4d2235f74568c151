#include "app/AddDlg.h"
#include "app/ControlId.h"
#include "app/MessageBox.h"
#include "app/Resource.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

class AddDlgTest : public QObject {
    Q_OBJECT

private:
    static QLineEdit* Edit(AddDlg& dlg, int id) { return qobject_cast<QLineEdit*>(FindControl(&dlg, id)); }
    static QPushButton* Button(AddDlg& dlg, int id) { return qobject_cast<QPushButton*>(FindControl(&dlg, id)); }

private slots:
    void initTestCase() { MessageBox::SetRecording(true); }

    // The texts come back exactly as typed on save (button or Enter) and
    // empty on cancel (button or Esc), whatever the fields held before. A UID
    // of more than 30 characters is refused with a message and the dialog
    // stays open; characters are counted, not bytes.
    void endingTheDialog_data() {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("action"); // save, cancel, Enter or Esc
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("refusals");
        auto row = [](const char* name, const QString& uid, const char* password, const char* action, int result,
                      int refusals) {
            QTest::newRow(name) << uid << QString(password) << QString(action) << result << refusals;
        };
        row("save keeps spaces", "  CAM 01  ", " pw ", "save", QDialog::Accepted, 0);
        row("Enter saves empty fields", "", "", "Enter", QDialog::Accepted, 0);
        row("cancel empties both", "typed", "also typed", "cancel", QDialog::Rejected, 0);
        row("Esc empties both", "typed", "", "Esc", QDialog::Rejected, 0);
        row("30 characters saved", QStringLiteral("设备号") + QString(27, 'u'), "", "save", QDialog::Accepted, 0);
        row("31 characters refused", QStringLiteral("设备号") + QString(28, 'u'), "", "save", QDialog::Rejected, 1);
    }
    void endingTheDialog() {
        QFETCH(QString, uid);
        QFETCH(QString, password);
        QFETCH(QString, action);
        QFETCH(int, result);
        AddDlg dlg;
        dlg.m_strUID = dlg.m_strPassword = QStringLiteral("left over");
        int refusals = 0;
        QTimer::singleShot(0, &dlg, [&] {
            Edit(dlg, IDC_EDIT_UID)->setText(uid);
            QTest::keyClicks(Edit(dlg, IDC_EDIT_PASSWORD), password);
            if (action == "save" || action == "cancel")
                Button(dlg, action == "save" ? IDOK : IDCANCEL)->click();
            else
                QTest::keyClick(Edit(dlg, IDC_EDIT_UID), action == "Enter" ? Qt::Key_Return : Qt::Key_Escape);
            if (dlg.isVisible()) { // refused: still open
                refusals = static_cast<int>(MessageBox::TakeRecorded().size());
                dlg.reject();
            }
        });
        QCOMPARE(dlg.exec(), result);
        QTEST(refusals, "refusals");
        QCOMPARE(dlg.m_strUID, result == QDialog::Accepted ? uid : QString());
        QCOMPARE(dlg.m_strPassword, result == QDialog::Accepted ? password : QString());
        QVERIFY(MessageBox::TakeRecorded().isEmpty());
    }
};

QTEST_MAIN(AddDlgTest)
#include "AddDlgTest.moc"
