// The main window's live commands end to end: simulated cameras over
// loopback, SDL's disk driver for speaker and microphone, the real pane
// threads, and the status texts of the device list.
#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "tests/support/CameraStarter.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString READY = QStringLiteral("就绪");
constexpr int kWaitMs = 15000;

} // namespace

class VantorDlgLiveTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    std::vector<std::string> m_uids;
    std::unique_ptr<CamSim> m_camera;

    static QTreeWidget* List(CVantorDlg& dlg) { return qobject_cast<QTreeWidget*>(FindControl(&dlg, IDC_DEVICE_LIST)); }
    static QString Cell(CVantorDlg& dlg, int row, int column) { return List(dlg)->topLevelItem(row)->text(column); }
    static void Select(CVantorDlg& dlg, int row) {
        List(dlg)->clearSelection();
        List(dlg)->topLevelItem(row)->setSelected(true);
    }
    static void Click(CVantorDlg& dlg, int id) { qobject_cast<QPushButton*>(FindControl(&dlg, id))->click(); }
    static bool WaitCell(CVantorDlg& dlg, int row, int column, const QString& text) {
        return QTest::qWaitFor([&] { return Cell(dlg, row, column) == text; }, kWaitMs);
    }
    // The store holds the camera's UIDs in rows 0..count-1 before the window opens.
    void PrepareStore(int count) {
        DeviceStore store("LiveData.mdb");
        QCOMPARE(store.Load(4, [](int, int, const std::string&) {}), 0);
        for (int i = 0; i < count; ++i)
            QCOMPARE(store.Assign(i, m_uids[static_cast<size_t>(i)]), 0);
    }
    // Sampled points of what the pane shows that are not dark.
    static int BrightPoints(VideoPane* pane) {
        const QImage shown = pane->grab().toImage();
        int bright = 0;
        for (int y = 0; y < shown.height(); y += 7)
            for (int x = 0; x < shown.width(); x += 7)
                bright += qGray(shown.pixel(x, y)) > 40 ? 1 : 0;
        return bright;
    }

private slots:
    void initTestCase() { testnet::UseIsolatedPorts(3000, 1500); }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        MessageBox::SetRecording(true);
        const std::filesystem::path dir = m_dir->path().toStdString();
        WriteFile(dir / "mic.raw", ToneU8(700, 20));
        UseCaptureFile(dir / "mic.raw");
        setenv("SDL_DISKAUDIOFILE", (dir / "speaker.raw").c_str(), 1);

        m_uids.clear();
        for (int i = 0; i < 4; ++i)
            m_uids.push_back(testnet::UniqueUid("PANE" + std::to_string(i)));
        m_camera = testnet::StartCamera(m_uids);
        QVERIFY(m_camera);
    }

    void cleanup() {
        m_camera.reset();
        QDir::setCurrent(m_previousDir);
        m_dir.reset();
        QVERIFY2(MessageBox::TakeRecorded().isEmpty(), "unexpected message box");
    }

    // The talk and record columns follow their commands, and a live stop
    // readies them both.
    void recordAndTalkWhileLiveThenStopLive() {
        PrepareStore(1);
        CVantorDlg dlg;
        dlg.show();
        dlg.OnNMDblclkDeviceList(0);
        QVERIFY(WaitCell(dlg, 0, 1, QStringLiteral("正在直播")));
        Select(dlg, 0);

        Click(dlg, IDC_BTN_RECORD);
        QCOMPARE(Cell(dlg, 0, 3), QStringLiteral("准备录制"));
        QVERIFY(WaitCell(dlg, 0, 3, QStringLiteral("正在录制")));
        Click(dlg, IDC_BTN_TALK);
        QCOMPARE(Cell(dlg, 0, 2), QStringLiteral("正在启动"));
        QVERIFY(WaitCell(dlg, 0, 2, QStringLiteral("正在对讲")));
        Click(dlg, IDC_BTN_TALK);
        QCOMPARE(Cell(dlg, 0, 2), QStringLiteral("正在停止"));
        QVERIFY(WaitCell(dlg, 0, 2, READY));
        QVERIFY(QTest::qWaitFor( // the recording's first fragment is written
            [&] { return QDir().entryInfoList({QStringLiteral("LiveVideo-*")}).value(0).size() > 0; }, kWaitMs));
        Click(dlg, IDC_BTN_RECORD);
        QCOMPARE(Cell(dlg, 0, 3), QStringLiteral("正在停止"));
        QVERIFY(WaitCell(dlg, 0, 3, READY));
        QCOMPARE(Cell(dlg, 0, 1), QStringLiteral("正在直播"));

        Click(dlg, IDC_BTN_RECORD);
        Click(dlg, IDC_BTN_TALK);
        QVERIFY(WaitCell(dlg, 0, 3, QStringLiteral("正在录制")));
        QVERIFY(WaitCell(dlg, 0, 2, QStringLiteral("正在对讲")));
        dlg.OnNMDblclkDeviceList(0);
        Click(dlg, IDC_BTN_TALK); // live stop under way: talk is running, so this asks to stop it
        QVERIFY(WaitCell(dlg, 0, 1, READY));
        QCOMPARE(Cell(dlg, 0, 2), READY);
        QCOMPARE(Cell(dlg, 0, 3), READY);
    }

    void unknownDeviceFailsAndASecondDoubleClickRetries() {
        m_uids[1] = testnet::UniqueUid("GONE");
        PrepareStore(2);
        CVantorDlg dlg;
        dlg.show();
        dlg.OnNMDblclkDeviceList(1);
        QVERIFY(WaitCell(dlg, 1, 1, QStringLiteral("直播失败")));
        dlg.OnNMDblclkDeviceList(1);
        QCOMPARE(Cell(dlg, 1, 1), QStringLiteral("连接中"));
        QVERIFY(WaitCell(dlg, 1, 1, QStringLiteral("直播失败")));
    }

    // A camera that comes back for its UID with another key is refused: the
    // row fails for good (no more reconnecting) and the window names the
    // UID, both keys and the known-devices file, whose pin stays.
    void aChangedDeviceKeyEndsLiveViewAndIsExplained() {
        PrepareStore(1);
        CVantorDlg dlg;
        dlg.show();
        dlg.OnNMDblclkDeviceList(0);
        QVERIFY(WaitCell(dlg, 0, 1, QStringLiteral("正在直播")));
        const QString pinned = QString::fromStdString(m_camera->GetDevice().Fingerprint());
        m_camera.reset();
        m_camera = testnet::StartCamera(m_uids); // the same UIDs, another key
        QVERIFY(m_camera);
        QVERIFY(WaitCell(dlg, 0, 1, QStringLiteral("直播失败")));
        QStringList shown;
        QVERIFY(QTest::qWaitFor([&] { return !(shown += MessageBox::TakeRecorded()).isEmpty(); }, kWaitMs));
        QCOMPARE(shown.size(), 1);
        const QString known = QDir::current().absoluteFilePath(QStringLiteral("known_devices"));
        for (const QString& part : {QString::fromStdString(m_uids[0]), pinned,
                                    QString::fromStdString(m_camera->GetDevice().Fingerprint()), known})
            QVERIFY2(shown[0].contains(part), qPrintable(shown[0] + " lacks " + part));
        QTest::qWait(int(LiveThread::kFirstRetryMs) * 2);
        QCOMPARE(Cell(dlg, 0, 1), QStringLiteral("直播失败"));
        QFile file(known);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), QString::fromStdString(m_uids[0]) + " " + pinned + "\n");
    }

    // A double click starts live view in the row's own pane (a second one
    // while connecting cancels it); add and delete are refused while live;
    // a double click on a live row stops it, and its pane is dark again.
    void fourPanesLiveThenOneStopped() {
        PrepareStore(4);
        CVantorDlg dlg;
        dlg.show();
        for (int row = 0; row < 4; ++row)
            dlg.OnNMDblclkDeviceList(row);
        dlg.OnNMDblclkDeviceList(0);
        QCOMPARE(Cell(dlg, 0, 1), QStringLiteral("正在停止"));
        QVERIFY(WaitCell(dlg, 0, 1, READY));
        dlg.OnNMDblclkDeviceList(0);
        for (int row = 0; row < 4; ++row) {
            QVERIFY(WaitCell(dlg, row, 1, QStringLiteral("正在直播")));
            QVERIFY(QTest::qWaitFor([&] { return BrightPoints(dlg.Pane(row)) > 20; }, kWaitMs));
        }
        Select(dlg, 2);
        Click(dlg, IDC_BTN_DELETE);
        Click(dlg, IDC_BTN_ADD); // no dialog opens while live
        QCOMPARE(Cell(dlg, 2, 0), QString::fromStdString(m_uids[2]));
        QCOMPARE(Cell(dlg, 2, 1), QStringLiteral("正在直播"));

        dlg.OnNMDblclkDeviceList(0);
        QCOMPARE(Cell(dlg, 0, 1), QStringLiteral("正在停止"));
        QVERIFY(WaitCell(dlg, 0, 1, READY));
        QVERIFY(QTest::qWaitFor([&] { return BrightPoints(dlg.Pane(0)) == 0; }, kWaitMs));
        QCOMPARE(Cell(dlg, 1, 1), QStringLiteral("正在直播"));
    }
};

QTEST_MAIN(VantorDlgLiveTest)
#include "VantorDlgLiveTest.moc"
