#include "app/AddDlg.h"
#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "tests/app/StoreSql.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QString READY = QStringLiteral("就绪");

// Answers every modal AddDlg that opens while it lives: fills the UID and
// ends the dialog with the save or the cancel button.
class AddDlgAnswer {
public:
    AddDlgAnswer(const QString& uid, bool save) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this, uid, save] {
            auto* dlg = qobject_cast<AddDlg*>(QApplication::activeModalWidget());
            if (!dlg || !dlg->isVisible())
                return;
            ++m_opened;
            static_cast<QLineEdit*>(FindControl(dlg, IDC_EDIT_UID))->setText(uid);
            static_cast<QLineEdit*>(FindControl(dlg, IDC_EDIT_PASSWORD))->setText(QStringLiteral("secret"));
            static_cast<QPushButton*>(FindControl(dlg, save ? IDOK : IDCANCEL))->click();
        });
        m_timer.start();
    }
    int Opened() const { return m_opened; }

private:
    QTimer m_timer;
    int m_opened = 0;
};

} // namespace

class VantorDlgTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;

    QString StorePath() const { return m_dir->filePath(QStringLiteral("LiveData.mdb")); }
    QString Sql(const QString& sql) const {
        return QString::fromStdString(RunSql(StorePath().toStdString(), sql.toStdString()));
    }
    static QRect Rect(CVantorDlg& dlg, int id) { return FindControl(&dlg, id)->geometry(); }
    static QTreeWidget* List(CVantorDlg& dlg) { return qobject_cast<QTreeWidget*>(FindControl(&dlg, IDC_DEVICE_LIST)); }
    static QStringList Row(CVantorDlg& dlg, int row) {
        QStringList texts;
        for (int column = 0; column < 4; ++column)
            texts.append(List(dlg)->topLevelItem(row)->text(column));
        return texts;
    }
    static QStringList Empty() { return {QString(), QString(), QString(), QString()}; }
    static QStringList Assigned(const QString& uid) { return {uid, READY, READY, READY}; }
    static void Select(CVantorDlg& dlg, std::initializer_list<int> rows) {
        QTreeWidget* list = List(dlg);
        list->clearSelection();
        for (int row : rows)
            list->topLevelItem(row)->setSelected(true);
    }
    // A store with slot 1 assigned and slot 2 freed by an earlier delete.
    void PrepareStore() {
        DeviceStore store(StorePath().toStdString());
        QCOMPARE(store.Load(4, [](int, int, const std::string&) {}), 0);
        QCOMPARE(store.Assign(1, "CAM-0001"), 0);
        QCOMPARE(store.Free(2), 0);
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        MessageBox::SetRecording(true);
    }

    void cleanup() {
        QDir::setCurrent(m_previousDir);
        m_dir.reset();
        QVERIFY2(MessageBox::TakeRecorded().isEmpty(), "unexpected message box");
    }

    // The video area takes what the fixed-width panel leaves; the window
    // does not shrink below its initial size.
    void resizeGrowsOnlyTheVideoArea() {
        CVantorDlg dlg;
        dlg.show();
        QCOMPARE(dlg.minimumSize(), QSize(900, 540));
        QCOMPARE(Rect(dlg, IDC_VIDEO_PANE + 3), QRect(300, 270, 300, 270));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(615, 87, 270, 443));
        dlg.resize(1200, 700);
        QTRY_COMPARE(Rect(dlg, IDC_VIDEO_PANE + 3), QRect(450, 350, 450, 350));
        QCOMPARE(Rect(dlg, IDC_BTN_RECORD), QRect(1127, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(915, 87, 270, 603));
    }

    // Before the window opens: one real message box with the engine's text
    // and the file's name, then the window with empty rows.
    void storeThatIsNoDatabaseIsReported() {
        WriteFileBytes(StorePath().toStdString(), "MSISAM Database\x01\x02 not sqlite at all");
        MessageBox::SetRecording(false);
        QStringList texts;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        poll.start();
        CVantorDlg dlg;
        dlg.show();
        poll.stop();
        MessageBox::SetRecording(true);
        QVERIFY(dlg.isVisible());
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].contains(QStringLiteral("LiveData.mdb: file is not a database")), qPrintable(texts[0]));
        for (int row = 0; row < 4; ++row)
            QCOMPARE(Row(dlg, row), Empty());
    }

    // What the add dialog saves shows at once and is kept in the store with
    // its password; an empty UID shows the ready texts only until a restart.
    void addSavesAndShows_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("stored"); // UID and password as SQL literals
        QTest::addColumn<bool>("shownAfterRestart");
        QTest::newRow("new device on a free row") << 2 << QString("CAM-0002") << QString("'CAM-0002','secret'") << true;
        QTest::newRow("replaces the device") << 1 << QString(" 设备 9 ") << QString("' 设备 9 ','secret'") << true;
        QTest::newRow("empty UID") << 1 << QString() << QString("'','secret'") << false;
    }
    void addSavesAndShows() {
        QFETCH(int, row);
        QFETCH(QString, uid);
        PrepareStore();
        CVantorDlg dlg;
        dlg.show();
        Select(dlg, {row});
        {
            AddDlgAnswer answer(uid, true);
            static_cast<QPushButton*>(FindControl(&dlg, IDC_BTN_ADD))->click();
            QCOMPARE(answer.Opened(), 1);
        }
        QCOMPARE(Row(dlg, row), Assigned(uid));
        QTEST(Sql(QStringLiteral("SELECT quote(UID) || ',' || quote(PASSWORD) FROM LiveData WHERE rowid = %1")
                      .arg(row + 1)),
              "stored");
        CVantorDlg again;
        again.show();
        QFETCH(bool, shownAfterRestart);
        QCOMPARE(Row(again, row), shownAfterRestart ? Assigned(uid) : Empty());
    }

    // Without a selection, on a row without a device, or cancelled, a command
    // changes nothing; talk and record on a row that is not live fail at once.
    void commandsThatCannotActChangeNothing() {
        PrepareStore();
        CVantorDlg dlg;
        dlg.show();
        const std::string before = ReadFileBytes(StorePath().toStdString());
        List(dlg)->clearSelection();
        {
            AddDlgAnswer answer(QStringLiteral("X"), true);
            dlg.OnBnClickedAdd();
            dlg.OnBnClickedDelete();
            dlg.OnBnClickedTalk();
            dlg.OnBnClickedRecord();
            dlg.OnNMDblclkDeviceList(2); // a row without a device
            dlg.OnNMDblclkDeviceList(-1);
            dlg.OnNMDblclkDeviceList(4);
            Select(dlg, {2});
            dlg.OnBnClickedTalk();
            QCOMPARE(answer.Opened(), 0);
        }
        QCOMPARE(Row(dlg, 2), Empty());
        Select(dlg, {1});
        {
            AddDlgAnswer answer(QStringLiteral("OTHER"), false);
            dlg.OnBnClickedAdd();
            QCOMPARE(answer.Opened(), 1);
        }
        QCOMPARE(Row(dlg, 1), Assigned(QStringLiteral("CAM-0001")));
        QCOMPARE(ReadFileBytes(StorePath().toStdString()), before);
        dlg.OnBnClickedTalk();
        dlg.OnBnClickedRecord();
        QCOMPARE(Row(dlg, 1), (QStringList{QStringLiteral("CAM-0001"), READY, QStringLiteral("启动失败"),
                                           QStringLiteral("录制失败")}));
    }

    void deleteFreesTheTopmostSelectedRow() {
        PrepareStore();
        Sql(QStringLiteral("UPDATE LiveData SET UID = 'CAM-0003' WHERE rowid = 4"));
        CVantorDlg dlg;
        dlg.show();
        Select(dlg, {3, 1});
        static_cast<QPushButton*>(FindControl(&dlg, IDC_BTN_DELETE))->click();
        QCOMPARE(Row(dlg, 1), Empty());
        QCOMPARE(Row(dlg, 3), Assigned(QStringLiteral("CAM-0003")));
        QCOMPARE(Sql(QStringLiteral("SELECT quote(UID) FROM LiveData WHERE rowid = 2")), QStringLiteral("NULL"));
        QCOMPARE(Sql(QStringLiteral("SELECT UID FROM LiveData WHERE rowid = 4")), QStringLiteral("CAM-0003"));
    }

    // A failed write shows the engine's text, and the row shows what the store
    // holds; when the store cannot be read either, what it showed before.
    void failedWritesShowTheErrorAndKeepTheRow_data() {
        QTest::addColumn<QString>("breakStore");
        QTest::addColumn<QString>("error");
        QTest::newRow("writes refused") << "CREATE TRIGGER refuse BEFORE UPDATE ON LiveData BEGIN SELECT "
                                           "RAISE(ABORT, 'store refuses writes'); END;"
                                        << "store refuses writes";
        QTest::newRow("store unreadable") << "DROP TABLE LiveData"
                                          << "no such table: LiveData";
    }
    void failedWritesShowTheErrorAndKeepTheRow() {
        QFETCH(QString, breakStore);
        QFETCH(QString, error);
        PrepareStore();
        CVantorDlg dlg;
        dlg.show();
        Sql(breakStore);
        for (int row : {0, 1}) {
            Select(dlg, {row});
            AddDlgAnswer answer(QStringLiteral("NEW-UID"), true);
            dlg.OnBnClickedAdd();
            const QStringList shown = MessageBox::TakeRecorded();
            QCOMPARE(shown.size(), 1);
            QVERIFY2(shown[0].contains(error), qPrintable(shown[0]));
            QCOMPARE(Row(dlg, row), row == 0 ? Empty() : Assigned(QStringLiteral("CAM-0001")));
        }
        dlg.OnBnClickedDelete();
        QCOMPARE(MessageBox::TakeRecorded().size(), 1);
        QCOMPARE(Row(dlg, 1), Assigned(QStringLiteral("CAM-0001")));
    }

    void enterPressesTheFocusedButtonElsewhereEndsTheDialog() {
        {
            // Enter after a click on the talk button presses it again; the
            // window stays open.
            PrepareStore();
            CVantorDlg dlg;
            QTimer::singleShot(0, &dlg, [&dlg] {
                Select(dlg, {1});
                auto* talk = qobject_cast<QPushButton*>(FindControl(&dlg, IDC_BTN_TALK));
                talk->setFocus();
                QTest::keyClick(talk, Qt::Key_Return);
                QCOMPARE(Row(dlg, 1)[2], QStringLiteral("启动失败"));
                QVERIFY(dlg.isVisible());
                talk->clearFocus();
                QTest::keyClick(&dlg, Qt::Key_Return);
            });
            QCOMPARE(dlg.exec(), int(QDialog::Accepted));
        }
        {
            CVantorDlg dlg;
            QTimer::singleShot(0, &dlg, [&dlg] { QTest::keyClick(List(dlg), Qt::Key_Escape); });
            QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        }
    }
};

QTEST_MAIN(VantorDlgTest)
#include "VantorDlgTest.moc"
