#include "app/AddDlg.h"
#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "tests/app/Sqlite3Cli.h"

#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
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
            if (!dlg || !dlg->isVisible()) {
                return;
            }
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
        return QString::fromStdString(RunSqlite3(StorePath().toStdString(), sql.toStdString()));
    }
    static QRect Rect(CVantorDlg& dlg, int id) {
        QWidget* control = FindControl(&dlg, id);
        return control ? control->geometry() : QRect();
    }
    static QTreeWidget* List(CVantorDlg& dlg) { return qobject_cast<QTreeWidget*>(FindControl(&dlg, IDC_DEVICE_LIST)); }
    static QStringList Row(CVantorDlg& dlg, int row) {
        QStringList texts;
        for (int column = 0; column < 4; ++column) {
            texts.append(List(dlg)->topLevelItem(row)->text(column));
        }
        return texts;
    }
    static QStringList Empty() { return {QString(), QString(), QString(), QString()}; }
    static QStringList Assigned(const QString& uid) { return {uid, READY, READY, READY}; }
    static void Select(CVantorDlg& dlg, std::initializer_list<int> rows) {
        QTreeWidget* list = List(dlg);
        list->clearSelection();
        for (int row : rows) {
            list->topLevelItem(row)->setSelected(true);
        }
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

    void controlsAndWindow() {
        CVantorDlg dlg;
        QVERIFY(FindControl(&dlg, IDC_BTN_ADD) == nullptr); // created when the window first shows
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Vantor"));
        QVERIFY(!dlg.windowIcon().isNull());
        QVERIFY(!dlg.windowIcon().pixmap(32, 32).isNull());
        QCOMPARE(dlg.minimumSize(), QSize(900, 540));
        QVERIFY(dlg.windowFlags() & Qt::WindowMinMaxButtonsHint);

        const struct {
            int id;
            const char* symbol;
            QString caption;
        } buttons[] = {{IDC_BTN_UPLOAD, "IDC_BTN_UPLOAD", QStringLiteral("上传文件(&U)")},
                       {IDC_BTN_ADD, "IDC_BTN_ADD", QStringLiteral("添加(&A)")},
                       {IDC_BTN_DELETE, "IDC_BTN_DELETE", QStringLiteral("删除(&D)")},
                       {IDC_BTN_TALK, "IDC_BTN_TALK", QStringLiteral("对讲(&S)")},
                       {IDC_BTN_RECORD, "IDC_BTN_RECORD", QStringLiteral("录制(&W)")}};
        for (const auto& expected : buttons) {
            auto* button = qobject_cast<QPushButton*>(FindControl(&dlg, expected.id));
            QVERIFY(button);
            QCOMPARE(button->objectName(), QString::fromLatin1(expected.symbol));
            QCOMPARE(button->text(), expected.caption);
            QVERIFY(!(button->focusPolicy() & Qt::TabFocus));
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
            QVERIFY(button->isVisible());
        }
        for (int i = 0; i < 4; ++i) {
            auto* pane = qobject_cast<VideoPane*>(FindControl(&dlg, IDC_VIDEO_PANE + i));
            QVERIFY(pane);
            QCOMPARE(pane, dlg.Pane(i));
            QCOMPARE(pane->objectName(), QStringLiteral("IDC_VIDEO_PANE%1").arg(i + 1));
            QCOMPARE(ControlIdOf(pane), 1101 + i);
        }

        QTreeWidget* list = List(dlg);
        QVERIFY(list);
        QCOMPARE(list->objectName(), QStringLiteral("IDC_DEVICE_LIST"));
        QCOMPARE(list->columnCount(), 4);
        const QStringList headings = {QStringLiteral("设备UID"), QStringLiteral("直播状态"), QStringLiteral("对讲状态"),
                                      QStringLiteral("录制状态")};
        for (int column = 0; column < 4; ++column) {
            QCOMPARE(list->headerItem()->text(column), headings[column]);
        }
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(list->header()->sectionsMovable());
        QVERIFY(!list->rootIsDecorated());
        QVERIFY(!(list->focusPolicy() & Qt::TabFocus));
        QCOMPARE(list->topLevelItemCount(), 4);
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(Row(dlg, row), Empty());
        }
    }

    void layoutWorkedExample() {
        CVantorDlg dlg;
        dlg.show();
        QCOMPARE(dlg.size(), QSize(900, 540));
        QCOMPARE(Rect(dlg, 1101), QRect(0, 0, 299, 269));
        QCOMPARE(Rect(dlg, 1102), QRect(300, 0, 300, 269));
        QCOMPARE(Rect(dlg, 1103), QRect(0, 270, 299, 270));
        QCOMPARE(Rect(dlg, 1104), QRect(300, 270, 300, 270));
        QCOMPARE(Rect(dlg, IDC_BTN_UPLOAD), QRect(614, 10, 272, 28));
        QCOMPARE(Rect(dlg, IDC_BTN_ADD), QRect(614, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_BTN_DELETE), QRect(685, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_BTN_TALK), QRect(756, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_BTN_RECORD), QRect(827, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(615, 87, 270, 443));
        for (int column = 0; column < 4; ++column) {
            QCOMPARE(List(dlg)->columnWidth(column), 67);
        }

        // Larger: only the video area grows; the panel keeps its width and moves right.
        dlg.resize(1200, 700);
        QTRY_COMPARE(Rect(dlg, 1101), QRect(0, 0, 449, 349));
        QCOMPARE(Rect(dlg, 1102), QRect(450, 0, 450, 349));
        QCOMPARE(Rect(dlg, 1103), QRect(0, 350, 449, 350));
        QCOMPARE(Rect(dlg, 1104), QRect(450, 350, 450, 350));
        QCOMPARE(Rect(dlg, IDC_BTN_UPLOAD), QRect(914, 10, 272, 28));
        QCOMPARE(Rect(dlg, IDC_BTN_ADD), QRect(914, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_BTN_DELETE), QRect(985, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_BTN_TALK), QRect(1056, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_BTN_RECORD), QRect(1127, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(915, 87, 270, 603));
        QCOMPARE(List(dlg)->columnWidth(3), 67);

        // And back: the layout of the initial size again.
        dlg.resize(900, 540);
        QTRY_COMPARE(Rect(dlg, 1104), QRect(300, 270, 300, 270));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(615, 87, 270, 443));
    }

    void layoutWithWidthNotAMultipleOfThree() {
        CVantorDlg dlg;
        dlg.resize(901, 540);
        dlg.show();
        // Start: V = 2 * 901 / 3 = 600, P = 300; the list reaches W - 15.
        QCOMPARE(Rect(dlg, IDC_BTN_UPLOAD), QRect(614, 10, 272, 28));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(615, 87, 271, 443));
        QCOMPARE(List(dlg)->columnWidth(0), 67);
        QCOMPARE(Rect(dlg, 1102), QRect(300, 0, 300, 269));
        QCOMPARE(dlg.minimumSize(), QSize(901, 540));

        // The first relayout at the same size uses V = 901 - 300 = 601.
        dlg.resize(1000, 540);
        QTRY_COMPARE(Rect(dlg, IDC_BTN_UPLOAD).x(), 714);
        dlg.resize(901, 540);
        QTRY_COMPARE(Rect(dlg, IDC_BTN_UPLOAD), QRect(615, 10, 272, 28));
        QCOMPARE(Rect(dlg, IDC_BTN_RECORD), QRect(828, 48, 57, 29));
        QCOMPARE(Rect(dlg, IDC_DEVICE_LIST), QRect(616, 87, 270, 443));
        QCOMPARE(Rect(dlg, 1102), QRect(300, 0, 300, 269));
    }

    void firstStartCreatesTheStore() {
        QVERIFY(!QFile::exists(StorePath()));
        CVantorDlg dlg;
        dlg.show();
        QVERIFY(QFile::exists(StorePath()));
        QCOMPARE(Sql(QStringLiteral("SELECT count(*) FROM LiveData")), QStringLiteral("16"));
        QCOMPARE(Sql(QStringLiteral(".schema LiveData")),
                 QStringLiteral("CREATE TABLE LiveData(Name VARCHAR(30), UID VARCHAR(30), PASSWORD VARCHAR(50));"));
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(Row(dlg, row), Empty());
        }
    }

    void startShowsThePreparedStore() {
        PrepareStore();
        CVantorDlg dlg;
        dlg.show();
        QCOMPARE(Row(dlg, 0), Empty());
        QCOMPARE(Row(dlg, 1), Assigned(QStringLiteral("CAM-0001")));
        QCOMPARE(Row(dlg, 2), Empty());
        QCOMPARE(Row(dlg, 3), Empty());
    }

    // Before the window opens: one real message box with the engine's text,
    // then empty rows; the file stays as it was.
    void storeThatIsNoDatabaseIsReportedAndKept() {
        const std::string junk = "MSISAM Database\x01\x02 not sqlite at all";
        WriteFileBytes(StorePath().toStdString(), junk);
        MessageBox::SetRecording(false);
        QStringList texts, captions;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                captions << box->windowTitle();
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
        QVERIFY2(texts[0].contains(QStringLiteral("file is not a database")), qPrintable(texts[0]));
        QVERIFY(texts[0].contains(QStringLiteral("LiveData.mdb")));
        QCOMPARE(captions[0], QCoreApplication::applicationName());
        for (int row = 0; row < 4; ++row)
            QCOMPARE(Row(dlg, row), Empty());
        QCOMPARE(ReadFileBytes(StorePath().toStdString()), junk);
    }

    void addSavesAndShows() {
        CVantorDlg dlg;
        dlg.show();
        Select(dlg, {2});
        {
            AddDlgAnswer answer(QStringLiteral("CAM-0002"), true);
            static_cast<QPushButton*>(FindControl(&dlg, IDC_BTN_ADD))->click();
            QCOMPARE(answer.Opened(), 1);
        }
        QCOMPARE(Row(dlg, 2), Assigned(QStringLiteral("CAM-0002")));
        QCOMPARE(Sql(QStringLiteral("SELECT UID FROM LiveData WHERE rowid = 3")), QStringLiteral("CAM-0002"));
        QCOMPARE(Sql(QStringLiteral("SELECT PASSWORD FROM LiveData WHERE rowid = 3")), QString()); // not stored

        // A restart shows it again; an add on an assigned row replaces the device.
        CVantorDlg again;
        again.show();
        QCOMPARE(Row(again, 2), Assigned(QStringLiteral("CAM-0002")));
        Select(again, {2});
        {
            AddDlgAnswer answer(QStringLiteral(" 设备 9 "), true);
            again.OnBnClickedAdd();
        }
        QCOMPARE(Row(again, 2), Assigned(QStringLiteral(" 设备 9 ")));
        QCOMPARE(Sql(QStringLiteral("SELECT UID FROM LiveData WHERE rowid = 3")), QStringLiteral(" 设备 9 "));
    }

    void addWithEmptyUidShowsReadyOnlyUntilRestart() {
        PrepareStore();
        CVantorDlg dlg;
        dlg.show();
        Select(dlg, {1});
        {
            AddDlgAnswer answer(QString(), true);
            dlg.OnBnClickedAdd();
        }
        QCOMPARE(Row(dlg, 1), Assigned(QString()));
        QCOMPARE(Sql(QStringLiteral("SELECT quote(UID) FROM LiveData WHERE rowid = 2")), QStringLiteral("''"));

        CVantorDlg again;
        again.show();
        QCOMPARE(Row(again, 1), Empty());
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
        {
            DeviceStore store;
            QCOMPARE(store.Assign(3, "CAM-0003"), 0);
        }
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
