// vantor-screenshots: takes the README's pictures of the real windows. Run by
// scripts/screenshots, which provides the display, the simulated cameras
// serving the four UIDs, a fake adb with two devices on PATH, and a scratch
// current directory.
//   vantor-screenshots OUT_DIR UID1 UID2 UID3 UID4
#include "app/CVantorApp.h"
#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "upload/CUploadFileDlg.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <functional>

namespace {

constexpr int kWaitMs = 30000;

void Pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > kWaitMs)
            return false;
        Pause(50);
    }
    return true;
}

bool Save(QWidget& window, const QString& path) {
    if (!window.grab().save(path, "PNG")) {
        std::fprintf(stderr, "vantor-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("vantor-screenshots: %s\n", qPrintable(path));
    return true;
}

// Four panes live, the first one recording.
bool ShootLive(CVantorDlg& dlg, const QString& out) {
    auto* list = qobject_cast<QTreeWidget*>(FindControl(&dlg, IDC_DEVICE_LIST));
    for (int i = 0; i < CVantorDlg::PANE_COUNT; ++i)
        dlg.OnNMDblclkDeviceList(i);
    const bool live = WaitFor([&] {
        for (int i = 0; i < CVantorDlg::PANE_COUNT; ++i)
            if (list->topLevelItem(i)->text(1) != QStringLiteral("正在直播") || !dlg.Pane(i)->HasPicture())
                return false;
        return true;
    });
    if (!live) {
        std::fprintf(stderr, "vantor-screenshots: the four panes did not all go live\n");
        return false;
    }
    list->topLevelItem(0)->setSelected(true);
    qobject_cast<QPushButton*>(FindControl(&dlg, IDC_BTN_RECORD))->click();
    if (!WaitFor([&] { return list->topLevelItem(0)->text(3) == QStringLiteral("正在录制"); })) {
        std::fprintf(stderr, "vantor-screenshots: recording did not start\n");
        return false;
    }
    list->clearSelection();
    Pause(1500); // the frame counters move on
    return Save(dlg, out + QStringLiteral("/live.png"));
}

// The batch upload window with two devices: one done, one copying.
bool ShootUpload(CVantorDlg& dlg, const QString& out) {
    qobject_cast<QPushButton*>(FindControl(&dlg, IDC_BTN_UPLOAD))->click();
    auto* upload = dlg.findChild<CUploadFileDlg*>();
    if (!upload)
        return false;
    auto status = [&](int row) { return upload->findChild<QLabel*>(QStringLiteral("IDC_STATUS%1").arg(row))->text(); };
    // Progress past the first file: "...：n/total" with n > 0.
    const QRegularExpression progress(QStringLiteral("：[1-9][0-9]*/"));
    const bool shown = WaitFor([&] {
        const bool copying = status(0).contains(progress) || status(1).contains(progress);
        return copying && (upload->RowState[0] == 2 || upload->RowState[1] == 2);
    });
    if (!shown) {
        std::fprintf(stderr, "vantor-screenshots: the upload rows show \"%s\" and \"%s\"\n", qPrintable(status(0)),
                     qPrintable(status(1)));
        return false;
    }
    return Save(*upload, out + QStringLiteral("/upload.png"));
}

} // namespace

int main(int argc, char** argv) {
    CVantorApp app(argc, argv);
    if (argc != 2 + CVantorDlg::PANE_COUNT) {
        std::fprintf(stderr, "usage: vantor-screenshots OUT_DIR UID1 UID2 UID3 UID4\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    MessageBox::SetRecording(true);
    {
        DeviceStore store("LiveData.mdb");
        store.Load(CVantorDlg::PANE_COUNT, [](int, int, const std::string&) {});
        for (int i = 0; i < CVantorDlg::PANE_COUNT; ++i)
            store.Assign(i, argv[2 + i]);
    }
    bool ok = false;
    {
        CVantorDlg dlg;
        dlg.show();
        ok = ShootLive(dlg, out) && ShootUpload(dlg, out);
    }
    for (const QString& text : MessageBox::TakeRecorded()) {
        std::fprintf(stderr, "vantor-screenshots: message box: %s\n", qPrintable(text));
        ok = false;
    }
    return ok ? 0 : 1;
}
