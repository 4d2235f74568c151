#include "upload/CUploadFileDlg.h"
#include "tests/upload/FakeAdbFixture.h"

#include <QApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

QString T(const char* utf8) {
    return QString::fromUtf8(utf8);
}

const int kNameIds[10] = {1062, 1072, 1073, 1076, 1074, 1075, 1077, 1078, 1079, 1080};
const int kSerialIds[10] = {1022, 1023, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031};
const int kStatusIds[10] = {1033, 1038, 1044, 1045, 1046, 1047, 1048, 1049, 1050, 1051};
const int kUploadIds[10] = {1034, 1035, 1036, 1037, 4, 1039, 1040, 1041, 1042, 1043};
const int kDeleteIds[10] = {1052, 1064, 1063, 1065, 1066, 1067, 1068, 1070, 1069, 1071};

} // namespace

// What only the dialog does: row texts and colours, the buttons it shows, the
// delete it refuses, closing only when idle. The worker's results are tested
// with the worker.
class CUploadFileDlgTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeAdbFixture> adb;

    static QString TextOf(CUploadFileDlg& dlg, int id) { return dlg.GetDlgItem(id)->property("text").toString(); }
    static QString Status(CUploadFileDlg& dlg, int row) { return TextOf(dlg, kStatusIds[row]); }
    static QColor StatusColour(CUploadFileDlg& dlg, int row) {
        return dlg.GetDlgItem(kStatusIds[row])->palette().color(QPalette::WindowText);
    }
    static bool CloseEnabled(CUploadFileDlg& dlg) { return dlg.GetDlgItem(1055)->isEnabled(); }

private slots:
    void init() { adb = std::make_unique<FakeAdbFixture>(); }
    void cleanup() { adb.reset(); }

    void oneDeviceUploadsAndTheDialogClosesOnlyWhenIdle() {
        adb->AddDevice("S1", "KT-One\n");
        adb->AddFiles("S1", "Tavoren_photos", 8);
        adb->Write("dev/S1/pull_delay", "0.3");
        CUploadFileDlg dlg;
        dlg.show();
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, kNameIds[0]), T("WEAR_KT-One"), 20000);
        QCOMPARE(TextOf(dlg, 1300), T("设备列表获取成功。"));
        QTRY_VERIFY_WITH_TIMEOUT(!Status(dlg, 0).isEmpty(), 5000);
        QCOMPARE(Status(dlg, 0), T("准备上传，请稍候..."));
        QCOMPARE(StatusColour(dlg, 0), QColor(218, 165, 32));
        QVERIFY(!CloseEnabled(dlg));
        QVERIFY(!dlg.GetDlgItem(kDeleteIds[0])->isEnabled());
        QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.close(); // the window manager's close request
        QVERIFY(dlg.isVisible());

        const QRegularExpression counting(T("^正在上传图片：[0-7]/8$"));
        QTRY_VERIFY_WITH_TIMEOUT(counting.match(Status(dlg, 0)).hasMatch(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("上传完成"), 30000);
        QCOMPARE(StatusColour(dlg, 0), QColor(11, 204, 0));
        QVERIFY(dlg.GetDlgItem(kDeleteIds[0])->isEnabled());
        QVERIFY(!dlg.GetDlgItem(kUploadIds[0])->isVisible());
        QVERIFY(CloseEnabled(dlg));
    }

    void devicesPluggedWhileOneUploadsGetRowsOfTheirOwn() {
        adb->AddDevice("S1", nullptr); // no readable name: goes by its serial
        adb->AddFiles("S1", "Tavoren_photos", 8);
        adb->Write("dev/S1/pull_delay", "0.3");
        CUploadFileDlg dlg;
        dlg.show();
        QTRY_COMPARE_WITH_TIMEOUT(dlg.RowState[0], 1, 20000);
        adb->AddDevice("S2", "\xB2\xE2\xCA\xD4"); // a GBK name
        adb->AddFiles("S2", "Tavoren_photos", 2);
        dlg.OnDeviceChange(0x8000);
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, kNameIds[1]), T("WEAR_测试"), 20000);
        QCOMPARE(TextOf(dlg, kNameIds[0]), T("WEAR_S1"));
        for (int r : {1, 0})
            QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, r), T("上传完成"), 30000);
        QCOMPARE(FakeAdbFixture::CountFiles(adb->work() + "/WEAR_%B2%E2%CA%D4/Tavoren_photos"), 2);
    }

    // A device that is plugged in but cannot be used yet is said to wait, and
    // is placed once it can be, with no USB event.
    void waitingDevicesAreToldAndPlacedLate() {
        adb->Write("daemon", "fail");
        adb->AddDevice("S1", "One\n", "unauthorized");
        adb->AddDevice("S2", "Two\n", "no permissions (user in plugdev group); see [http://x]");
        CUploadFileDlg dlg;
        dlg.show();
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, 1300), T("设备列表获取失败，请检查设备连接状态。"), 20000);
        fs::remove(adb->root() + "/daemon");
        dlg.OnDeviceChange(0x8000);
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, 1300),
                                  T("设备列表获取完毕，暂无可用设备。1 台设备等待授权或连接，请在手机上允许 USB 调试。"
                                    "1 台设备无 USB 访问权限，请检查权限设置。"),
                                  20000);
        adb->Write("dev/S1/state", "device"); // the user accepts the prompt
        adb->Write("dev/S2/state", "device"); // the udev rule is fixed
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, kNameIds[1]), T("WEAR_Two"), 20000);
        QCOMPARE(TextOf(dlg, kNameIds[0]), T("WEAR_One"));
        // Nothing was copied from either: never "upload complete".
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("设备上找不到照片和视频文件夹，请解锁手机后重新上传"), 30000);
        QVERIFY(!dlg.GetDlgItem(kDeleteIds[0])->isEnabled());
    }

    // Eleven devices, two of them clones of one serial number: ten rows, the
    // eleventh said to wait; a row given to another device never shows the
    // result of its former device's job.
    void eleventhWaitsAndAReusedRowShowsOnlyItsOwnResult() {
        for (int i = 0; i <= 10; ++i) {
            const std::string key = QString("D%1").arg(i, 2, 10, QChar('0')).toStdString();
            adb->AddDevice(key, (key + "\n").c_str());
            if (i == 8 || i == 9)
                adb->Write("dev/" + key + "/serial", "CLONE");
        }
        adb->AddFiles("D00", "Tavoren_photos", 8);
        adb->Write("dev/D00/pull_delay", "0.3");
        CUploadFileDlg dlg;
        dlg.show();
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, kNameIds[9]), T("WEAR_D09"), 20000);
        QCOMPARE(TextOf(dlg, 1300), T("设备列表获取成功。1 台设备等待空闲行。"));
        QCOMPARE(TextOf(dlg, kSerialIds[8]), T("CLONE"));
        QCOMPARE(TextOf(dlg, kSerialIds[9]), T("CLONE"));
        QTRY_VERIFY_WITH_TIMEOUT(Status(dlg, 0).startsWith(T("正在上传图片：")), 20000);
        adb->Write("dev/D00/gone", ""); // its copy runs on and ends well
        dlg.OnDeviceChange(0x8004);
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, kNameIds[0]), T("WEAR_D10"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("设备上找不到照片和视频文件夹，请解锁手机后重新上传"), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(CloseEnabled(dlg), 30000);
        QCOMPARE(Status(dlg, 0), T("设备上找不到照片和视频文件夹，请解锁手机后重新上传"));
    }

    void failedUploadIsRetriedBeforeAnyDelete() {
        adb->AddDevice("S1", "One\n");
        adb->AddFiles("S1", "Tavoren_photos", 8);
        adb->Write("dev/S1/unplug_after", "3"); // the fake marks the device gone
        CUploadFileDlg dlg;
        dlg.show();
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("与设备连接失败"), 30000);
        QCOMPARE(StatusColour(dlg, 0), QColor(255, 69, 0));
        auto* upload = qobject_cast<QPushButton*>(dlg.GetDlgItem(kUploadIds[0]));
        auto* remove = qobject_cast<QPushButton*>(dlg.GetDlgItem(kDeleteIds[0]));
        QVERIFY(upload->isVisible() && upload->isEnabled());
        QVERIFY(remove->isVisible() && !remove->isEnabled());
        dlg.OnCommand(kDeleteIds[0]); // refused
        QCOMPARE(Status(dlg, 0), T("与设备连接失败"));
        QVERIFY(CloseEnabled(dlg));

        fs::remove(adb->root() + "/dev/S1/gone"); // plugged in again
        fs::remove(adb->root() + "/dev/S1/unplug_after");
        QTest::mouseClick(upload, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("上传完成"), 30000);
        QVERIFY(!upload->isVisible());

        adb->Write("dev/S1/rm_output", "rm: /sdcard/Tavoren_photos/f0.jpg: Permission denied\n");
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(Status(dlg, 0), T("正在执行删除，请稍候..."));
        QVERIFY(!CloseEnabled(dlg));
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("文件删除失败"), 30000);
        QVERIFY(remove->isEnabled()); // the user may try again
        fs::remove(adb->root() + "/dev/S1/rm_output");
        QTest::mouseClick(remove, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Status(dlg, 0), T("删除成功"), 30000);
        QCOMPARE(StatusColour(dlg, 0), QColor(11, 204, 0));
        QVERIFY(!remove->isEnabled()); // nothing more is known to be home

        adb->Write("dev/S1/gone", "");
        dlg.OnDeviceChange(0x8004);
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(dlg, kSerialIds[0]), QString(), 20000);
        QVERIFY(!remove->isVisible() && !upload->isVisible());
        QVERIFY(CloseEnabled(dlg));
    }

    void quittingWhileAToolHangsEndsIt() {
        adb->AddDevice("S1", "One\n");
        adb->AddFiles("S1", "Tavoren_photos", 2);
        adb->Write("dev/S1/hang", "pull");
        auto dlg = std::make_unique<CUploadFileDlg>();
        dlg->show();
        const std::string pids = adb->root() + "/hang_pids"; // written in one piece
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(pids) && fs::file_size(pids) > 0, 20000);
        QVERIFY(!CloseEnabled(*dlg));
        dlg.reset();
        QVERIFY(adb->HangsEnded());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CUploadFileDlgTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "CUploadFileDlgTest.moc"
