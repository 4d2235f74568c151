#include "upload/CUploadFileDlg.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMetaObject>
#include <QStringDecoder>
#include <QTimer>
#include <QVariant>

#include <memory>

namespace {

constexpr int IDC_DEVICE_LIST = 1300;
constexpr int IDC_GROUP_DEVICES = 1020;
constexpr int IDC_SCROLLBAR = 1021;
constexpr int IDC_BTN_CLOSE = 1055;

constexpr int kNameIds[10] = {1062, 1072, 1073, 1076, 1074, 1075, 1077, 1078, 1079, 1080};
constexpr int kSerialIds[10] = {1022, 1023, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031};
constexpr int kStatusIds[10] = {1033, 1038, 1044, 1045, 1046, 1047, 1048, 1049, 1050, 1051};
constexpr int kUploadIds[10] = {1034, 1035, 1036, 1037, 4, 1039, 1040, 1041, 1042, 1043};
constexpr int kDeleteIds[10] = {1052, 1064, 1063, 1065, 1066, 1067, 1068, 1070, 1069, 1071};

constexpr uint32_t kArrivalDelayMs = 1000;
constexpr uint32_t kListWorkerWaitMs = 10000;
constexpr uint32_t kRowWorkerWaitMs = 1000;
// Devices still unauthorized, offline or without permission: list again this
// often, and after the first minute less often, for as long as they wait.
constexpr int kRelistMs = 2000;
constexpr int kRelistSlowMs = 5000;
constexpr qint64 kRelistFastForMs = 60000;
// A device may be listed only a while after its USB arrival: list once more.
constexpr int kArrivalAgainMs = 5000;

// Dialog units of the 8-point dialog font to pixels.
QRect Dlu(int x, int y, int w, int h) {
    return QRect(x * 3 / 2, y * 13 / 8, w * 3 / 2, h * 13 / 8);
}

void SetId(QWidget* widget, int id, const QString& symbol) {
    widget->setObjectName(symbol);
    widget->setProperty("controlId", id);
}

// Workers whose thread would not end even after their tool was ended: never
// released while their thread may still run.
std::vector<std::unique_ptr<CUploadHandleThread>>& Abandoned() {
    static auto* abandoned = new std::vector<std::unique_ptr<CUploadHandleThread>>();
    return *abandoned;
}

} // namespace

CUploadFileDlg::CUploadFileDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("批量上传"));
    // No close box: the close button is the only way out.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(Dlu(0, 0, 435, 273).size());
    m_defaultPalette = palette();

    m_deviceList.setParent(this);
    m_deviceList.setGeometry(Dlu(15, 15, 316, 8).adjusted(0, -2, 0, 2));
    m_deviceList.setText(tr("正在获取设备列表，请稍候..."));
    SetId(&m_deviceList, IDC_DEVICE_LIST, "IDC_DEVICE_LIST");

    m_group.setParent(this);
    m_group.setGeometry(Dlu(14, 28, 404, 230));
    m_group.setTitle(tr("设备列表"));
    SetId(&m_group, IDC_GROUP_DEVICES, "IDC_GROUP_DEVICES");
    m_group.lower();

    m_scrollBar.setParent(this);
    m_scrollBar.setOrientation(Qt::Vertical);
    m_scrollBar.setGeometry(Dlu(401, 38, 10, 219));
    m_scrollBar.hide();
    SetId(&m_scrollBar, IDC_SCROLLBAR, "IDC_SCROLLBAR");

    m_btnClose.setParent(this);
    m_btnClose.setGeometry(Dlu(367, 14, 50, 14));
    SetId(&m_btnClose, IDC_BTN_CLOSE, "IDC_BTN_CLOSE");
    m_btnClose.setAutoDefault(false);
    connect(&m_btnClose, &QPushButton::clicked, this, [this] { OnBnClickedClose(); });

    for (int r = 0; r < 10; ++r) {
        const int y = 41 + 22 * r;
        const QString n = QString::number(r);
        m_name[r].setParent(this);
        m_name[r].setGeometry(Dlu(27, y, 78, 8).adjusted(0, -2, 0, 2));
        SetId(&m_name[r], kNameIds[r], "IDC_NAME" + n);
        m_serial[r].setParent(this);
        m_serial[r].setGeometry(Dlu(r == 4 ? 107 : 108, y, 8, 8));
        SetId(&m_serial[r], kSerialIds[r], "IDC_SERIAL" + n);
        m_status[r].setParent(this);
        m_status[r].setGeometry(Dlu(120, y, 134, 8).adjusted(0, -2, 0, 2));
        SetId(&m_status[r], kStatusIds[r], "IDC_STATUS" + n);
        m_upload[r].setParent(this);
        m_upload[r].setGeometry(Dlu(264, y - 3, 50, 14));
        SetId(&m_upload[r], kUploadIds[r], "IDC_UPLOAD" + n);
        m_delete[r].setParent(this);
        m_delete[r].setGeometry(Dlu(333, y - 3, 50, 14));
        SetId(&m_delete[r], kDeleteIds[r], "IDC_DELETE" + n);
        m_upload[r].setAutoDefault(false);
        m_delete[r].setAutoDefault(false);
        const int uploadId = kUploadIds[r];
        const int deleteId = kDeleteIds[r];
        connect(&m_upload[r], &QPushButton::clicked, this, [this, uploadId] { OnCommand(uploadId); });
        connect(&m_delete[r], &QPushButton::clicked, this, [this, deleteId] { OnCommand(deleteId); });
    }
    OnInitDialog();
}

CUploadFileDlg::~CUploadFileDlg() {
    StopWorkers();
    // Jobs that never came back (discarded by a quitting worker, or whose
    // final notice arrived while closing) go with the window.
    m_jobs.clear();
}

void CUploadFileDlg::OnInitDialog() {
    m_listWorker = std::make_unique<CUploadHandleThread>();
    m_listWorker->SetNotifySink(this);
    m_listWorker->CreateThread();
    for (auto& worker : m_rowWorkers) {
        worker = std::make_unique<CUploadHandleThread>();
        worker->SetNotifySink(this);
        worker->CreateThread();
    }

    m_btnClose.setText(tr("关闭(&C)"));
    for (int r = 0; r < 10; ++r) {
        m_name[r].setText(QString());
        m_serial[r].setText(QString());
        m_serial[r].hide();
        m_status[r].setText(QString());
        m_upload[r].setText(tr("上传"));
        m_upload[r].hide();
        m_delete[r].setText(tr("删除"));
        m_delete[r].hide();
        RowState[r] = 0;
    }
    m_btnClose.setEnabled(false);

    ++m_pendingLists;
    if (!PostJob(m_listWorker.get(), JobListDevices, NewJob(JobListDevices)))
        --m_pendingLists;

    m_monitor.Start([this](uint32_t event) {
        QMetaObject::invokeMethod(
            this, [this, event] { OnDeviceChange(event); }, Qt::QueuedConnection);
    });
}

QWidget* CUploadFileDlg::GetDlgItem(int id) const {
    const QList<QWidget*> widgets = findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        QVariant value = widget->property("controlId");
        if (value.isValid() && value.toInt() == id)
            return widget;
    }
    return nullptr;
}

UploadJob* CUploadFileDlg::NewJob(int type) {
    auto owned = std::make_unique<OwnedJob>();
    owned->job.type = type;
    if (type == JobListDevices) {
        owned->job.serials = &owned->serials;
        owned->job.names = &owned->names;
    }
    UploadJob* job = &owned->job;
    m_jobs.emplace(job, std::move(owned));
    return job;
}

bool CUploadFileDlg::PostJob(CUploadHandleThread* worker, uintptr_t wParam, UploadJob* job) {
    if (worker && worker->PostThreadMessage(UM_UPLOAD_JOB, wParam, reinterpret_cast<intptr_t>(job)))
        return true;
    ReleaseJob(job);
    return false;
}

void CUploadFileDlg::ReleaseJob(UploadJob* job) {
    m_jobs.erase(job);
}

bool CUploadFileDlg::Closing() {
    std::lock_guard<std::mutex> guard(m_sendLock);
    return m_closing;
}

void CUploadFileDlg::PostNotify(uintptr_t wParam, UploadJob* job) {
    QMetaObject::invokeMethod(
        this, [this, wParam, job] { OnUploadNotify(wParam, job); }, Qt::QueuedConnection);
}

void CUploadFileDlg::SendNotify(uintptr_t wParam, UploadJob* job) {
    auto handled = std::make_shared<bool>(false);
    {
        std::lock_guard<std::mutex> guard(m_sendLock);
        if (m_closing)
            return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, wParam, job, handled] {
            OnUploadNotify(wParam, job);
            std::lock_guard<std::mutex> guard(m_sendLock);
            *handled = true;
            m_sendDone.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(m_sendLock);
    m_sendDone.wait(guard, [&] { return *handled || m_closing; });
}

void CUploadFileDlg::PostProgress(const UploadProgress& progress) {
    QMetaObject::invokeMethod(
        this, [this, progress] { OnProgress(progress); }, Qt::QueuedConnection);
}

void CUploadFileDlg::OnDeviceChange(uint32_t event) {
    if (event == DeviceMonitor::DBT_DEVICEARRIVAL) {
        QTimer::singleShot(kArrivalDelayMs, this, [this] { Refresh(); });
        QTimer::singleShot(kArrivalAgainMs, this, [this] { Refresh(); });
    } else if (event == DeviceMonitor::DBT_DEVICEREMOVECOMPLETE)
        Refresh();
}

void CUploadFileDlg::Refresh() {
    if (Closing())
        return;
    m_deviceList.setText(tr("正在获取设备列表，请稍候..."));
    m_btnClose.setEnabled(false);
    ++m_pendingLists;
    if (!PostJob(m_listWorker.get(), JobListDevices, NewJob(JobListDevices)))
        --m_pendingLists;
}

void CUploadFileDlg::OnUploadNotify(uintptr_t wParam, UploadJob* job) {
    auto it = m_jobs.find(job);
    if (it == m_jobs.end() || wParam > 3)
        return;
    if (Closing())
        return; // released with the window
    if (wParam == 0)
        OnListResult(*job);
    else if (wParam == 1 || wParam == 2)
        OnJobFinished(wParam, *job);
}

void CUploadFileDlg::OnListResult(UploadJob& job) {
    --m_pendingLists;
    QString text;
    switch (job.result) {
    case UPLOAD_LIST_FAILED:
        text = tr("设备列表获取失败，请检查设备连接状态。");
        break;
    case UPLOAD_NO_DEVICE:
        text = tr("设备列表获取完毕，当前无设备连接。");
        break;
    case UPLOAD_DONE:
        text = tr("设备列表获取成功。");
        break;
    case UPLOAD_TOOL_MISSING:
        text = tr("缺失组件，请重新安装本程序");
        break;
    case UPLOAD_START_FAILED:
        text = tr("无法启动命令，请稍后重试");
        break;
    default:
        text = tr("未知状态");
        break;
    }
    // A device that is plugged in but cannot be used yet is never "no device".
    if (job.result == UPLOAD_NO_DEVICE && job.waiting + job.noPermission > 0)
        text = tr("设备列表获取完毕，暂无可用设备。");

    // A device is the pair of its serial number and its transport: a clone or
    // a swapped device with the same serial is another device.
    const std::vector<std::string>& serials = *job.serials;
    const std::vector<std::string>& names = *job.names;
    auto transportOf = [&](size_t k) { return k < job.transports.size() ? job.transports[k] : std::string(); };
    auto listedAt = [&](const std::string& serial, const std::string& transport) {
        for (size_t k = 0; k < serials.size(); ++k)
            if (serials[k] == serial && transportOf(k) == transport)
                return true;
        return false;
    };
    for (int r = 0; r < 10; ++r) {
        const std::string serial = m_serial[r].text().toStdString();
        if (!serial.empty() && !listedAt(serial, m_transport[r]))
            ClearRow(r);
    }

    int unplaced = 0;
    for (size_t k = 0; k < serials.size(); ++k) {
        if (serials[k].empty())
            continue;
        bool shown = false;
        for (int r = 0; r < 10 && !shown; ++r)
            shown = m_serial[r].text().toStdString() == serials[k] && m_transport[r] == transportOf(k);
        if (shown)
            continue;
        int row = -1;
        for (int r = 0; r < 10 && row < 0; ++r)
            if (m_serial[r].text().isEmpty())
                row = r;
        if (row < 0 || k >= names.size()) {
            ++unplaced;
            continue;
        }
        PlaceDevice(row, serials[k], transportOf(k), names[k]);
    }

    if (job.waiting > 0)
        text += tr("%1 台设备等待授权或连接，请在手机上允许 USB 调试。").arg(job.waiting);
    if (job.noPermission > 0)
        text += tr("%1 台设备无 USB 访问权限，请检查权限设置。").arg(job.noPermission);
    if (unplaced > 0)
        text += tr("%1 台设备等待空闲行。").arg(unplaced);
    m_deviceList.setText(text);
    // A server that could not be reached may come up by itself: try again too.
    RelistWhileWaiting(job.waiting + job.noPermission + (job.result == UPLOAD_LIST_FAILED ? 1 : 0));
    ReleaseJob(&job);
    UpdateCloseButton();
}

void CUploadFileDlg::PlaceDevice(int row, const std::string& serial, const std::string& transport,
                                 const std::string& name) {
    m_rowName[row] = "WEAR_" + name;
    m_transport[row] = transport;
    m_ticket[row] = ++m_nextTicket;
    m_home[row] = RowHome();
    m_name[row].setText(DisplayName(m_rowName[row]));
    m_serial[row].setText(QString::fromStdString(serial));
    m_status[row].setText(QString());
    RowState[row] = 0;
    PaintRowState(row);
    const int uploadId = kUploadIds[row];
    QMetaObject::invokeMethod(
        this, [this, uploadId] { OnCommand(uploadId); }, Qt::QueuedConnection);
    m_upload[row].hide();
    m_delete[row].setEnabled(false); // until an upload has brought the media home
    m_delete[row].show();
}

void CUploadFileDlg::RelistWhileWaiting(int waiting) {
    if (waiting == 0) {
        m_waitingSince.invalidate();
        return;
    }
    if (!m_waitingSince.isValid())
        m_waitingSince.start();
    if (m_relistQueued)
        return;
    m_relistQueued = true;
    const int delay = m_waitingSince.elapsed() < kRelistFastForMs ? kRelistMs : kRelistSlowMs;
    QTimer::singleShot(delay, this, [this] {
        m_relistQueued = false;
        Refresh();
    });
}

void CUploadFileDlg::ClearRow(int row) {
    m_name[row].setText(QString());
    m_serial[row].setText(QString());
    m_status[row].setText(QString());
    m_upload[row].hide();
    m_delete[row].hide();
    m_rowName[row].clear();
    m_transport[row].clear();
    m_ticket[row] = ++m_nextTicket;
    m_home[row] = RowHome();
}

QString CUploadFileDlg::DisplayName(const std::string& name) {
    const QByteArrayView bytes(name.data(), static_cast<qsizetype>(name.size()));
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    QStringDecoder gb("GB18030", QStringConverter::Flag::Stateless);
    if (gb.isValid()) {
        const QString decoded = gb(bytes);
        if (!gb.hasError())
            return decoded;
    }
    return text;
}

bool CUploadFileDlg::OnCommand(int id) {
    int row = -1;
    int type = 0;
    for (int r = 0; r < 10 && row < 0; ++r) {
        if (kUploadIds[r] == id) {
            row = r;
            type = JobUpload;
        } else if (kDeleteIds[r] == id) {
            row = r;
            type = JobDelete;
        }
    }
    if (row < 0 || Closing())
        return false;
    const std::string serial = m_serial[row].text().toStdString();
    if (serial.empty())
        return true; // the row was freed before its command came through
    if (type == JobDelete && (m_home[row].files.empty() || m_home[row].ticket != m_ticket[row]))
        return true; // nothing of this device is known to be home

    m_btnClose.setEnabled(false);
    m_status[row].setText(type == JobUpload ? tr("准备上传，请稍候...") : tr("正在执行删除，请稍候..."));
    m_upload[row].setEnabled(false);
    m_delete[row].setEnabled(false);
    RowState[row] = 1;
    PaintRowState(row);

    UploadJob* job = NewJob(type);
    job->serial = serial;
    job->transport = m_transport[row];
    job->ticket = m_ticket[row];
    job->name = m_rowName[row];
    job->row = row;
    if (type == JobDelete)
        job->files = m_home[row].files;
    ++m_pendingRow[row];
    if (!PostJob(m_rowWorkers[row].get(), static_cast<uintptr_t>(type), job))
        --m_pendingRow[row];
    return true;
}

void CUploadFileDlg::OnProgress(const UploadProgress& progress) {
    if (Closing() || progress.row < 0 || progress.row >= 10)
        return;
    // A notice that comes after the row's job has ended, or for a device the
    // row no longer shows, is stale.
    if (RowState[progress.row] != 1 || m_pendingRow[progress.row] == 0 || progress.ticket != m_ticket[progress.row])
        return;
    const QString text = progress.kind == 0 ? tr("正在上传图片：%1/%2") : tr("正在上传视频：%1/%2");
    m_status[progress.row].setText(text.arg(progress.done).arg(progress.total));
}

void CUploadFileDlg::OnJobFinished(uintptr_t wParam, UploadJob& job) {
    const int row = job.row;
    const int type = static_cast<int>(wParam);
    const int result = job.result;
    const int kept = job.kept;
    const uint64_t ticket = job.ticket;
    std::vector<HomeFile> files = std::move(job.files);
    ReleaseJob(&job);
    if (row < 0 || row >= 10)
        return;
    if (m_pendingRow[row] > 0)
        --m_pendingRow[row];
    // The row was cleared or shows another device since: the result is not
    // its own. A newer job of the same row reports for it.
    if (ticket != m_ticket[row] || m_pendingRow[row] > 0) {
        UpdateCloseButton();
        return;
    }

    int state = 2;
    const QString text = ResultText(type, result, kept, state);
    if (type == JobUpload) {
        m_home[row] = result == UPLOAD_DONE ? RowHome{ticket, std::move(files)} : RowHome();
        m_upload[row].setVisible(result != UPLOAD_DONE); // a failed upload can be tried again
    } else {
        m_home[row].files = std::move(files); // what is still on the device and home
    }
    m_status[row].setText(text);
    m_upload[row].setEnabled(true);
    m_delete[row].setEnabled(!m_home[row].files.empty());
    RowState[row] = state;
    PaintRowState(row);
    UpdateCloseButton();
}

QString CUploadFileDlg::ResultText(int type, int result, int kept, int& state) {
    state = 3;
    switch (result) {
    case UPLOAD_DONE:
        state = 2;
        return type == JobUpload ? tr("上传完成") : tr("删除成功");
    case UPLOAD_NOTHING:
        state = 2;
        return tr("设备上没有需要上传的文件");
    case UPLOAD_NO_FOLDERS:
        return tr("设备上找不到照片和视频文件夹，请解锁手机后重新上传");
    case UPLOAD_TOOL_MISSING:
        return tr("缺失组件，请重新安装本程序");
    case UPLOAD_START_FAILED:
        return tr("无法启动命令，请稍后重试");
    case UPLOAD_DEVICE_NOT_FOUND:
        return tr("与设备连接失败");
    case UPLOAD_NO_RESPONSE:
        return tr("设备无响应，请重新连接设备");
    case UPLOAD_TOO_SLOW:
        return tr("传输过慢，已停止，请重新连接设备后重试");
    case UPLOAD_SERIAL_SHARED:
        return tr("多台设备使用同一序列号，请只连接其中一台");
    case UPLOAD_COPY_INCOMPLETE:
        return tr("文件未能全部复制，请重新上传");
    case UPLOAD_FOLDER_FAILED:
        return tr("上传目录创建失败");
    case UPLOAD_DISK_FULL:
        return tr("本地磁盘空间不足");
    case UPLOAD_FILE_TOO_LARGE:
        return tr("文件过大，本地磁盘无法保存");
    case UPLOAD_READ_ONLY:
        return tr("上传目录无法写入");
    case UPLOAD_DELETE_FAILED:
        return tr("文件删除失败");
    case UPLOAD_NO_SHA256:
        return tr("设备不支持文件校验（缺少 sha256sum），文件未删除");
    case UPLOAD_CHANGED_ON_DEVICE:
        return tr("%1 个文件上传后在设备上有改动，已保留，请重新上传").arg(kept);
    case UPLOAD_CHANGED_AT_HOME:
        return tr("本地副本缺失或有改动，对应文件已保留在设备上");
    default:
        state = 2;
        return tr("操作已完成");
    }
}

void CUploadFileDlg::PaintRowState(int row) {
    QPalette palette = m_defaultPalette;
    switch (RowState[row]) {
    case 1:
        palette.setColor(QPalette::WindowText, QColor(218, 165, 32));
        break;
    case 2:
        palette.setColor(QPalette::WindowText, QColor(11, 204, 0));
        break;
    case 3:
        palette.setColor(QPalette::WindowText, QColor(255, 69, 0));
        break;
    default:
        break;
    }
    m_status[row].setPalette(palette);
    m_status[row].update();
}

bool CUploadFileDlg::AllRowsIdle() const {
    if (m_pendingLists > 0)
        return false;
    for (int r = 0; r < 10; ++r) {
        // A job runs, or a placed device's upload has not started yet.
        if (m_pendingRow[r] > 0 || (RowState[r] == 0 && !m_serial[r].text().isEmpty()))
            return false;
    }
    return true;
}

void CUploadFileDlg::UpdateCloseButton() {
    if (AllRowsIdle())
        m_btnClose.setEnabled(true);
}

void CUploadFileDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CUploadFileDlg::reject() {
    // Esc and the window manager's close request end up here: ignored.
}

void CUploadFileDlg::closeEvent(QCloseEvent* event) {
    if (m_closed) {
        event->accept();
        return;
    }
    event->ignore();
}

void CUploadFileDlg::OnBnClickedClose() {
    if (!m_btnClose.isEnabled() || !AllRowsIdle())
        return;
    OnClose();
}

void CUploadFileDlg::OnClose() {
    StopWorkers();
    m_closed = true;
    emit uploadNotify(0, 0);
}

void CUploadFileDlg::StopWorkers() {
    {
        std::lock_guard<std::mutex> guard(m_sendLock);
        if (m_closing && !m_listWorker)
            return;
        m_closing = true;
    }
    // Frees any worker that waits in SendNotify.
    m_sendDone.notify_all();
    m_monitor.Stop();

    auto stop = [](std::unique_ptr<CUploadHandleThread>& worker, uint32_t waitMs) {
        if (!worker)
            return;
        // Whatever tool still runs is of no use now: end it.
        worker->Cancel();
        worker->PostThreadMessage(UM_UPLOAD_JOB, JOB_QUIT, 0);
        if (!worker->WaitForExit(waitMs)) {
            worker->SetNotifySink(nullptr);
            worker->PostQuitMessage();
            if (!worker->WaitForExit(waitMs)) {
                Abandoned().push_back(std::move(worker));
                return;
            }
        }
        worker.reset();
    };
    stop(m_listWorker, kListWorkerWaitMs);
    for (auto& worker : m_rowWorkers)
        stop(worker, kRowWorkerWaitMs);
}
