// The main window's commands (add, delete, talk, record, double click on the
// list) and its side of the pane threads' reports.
#include "app/CVantorDlg.h"

#include "app/AddDlg.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "p2p/P2PErrors.h"

#include <QThread>

#include <optional>
#include <thread>
#include <vector>

namespace {
QString ReadyText() {
    return CVantorDlg::tr("就绪");
}
QString StoppingText() {
    return CVantorDlg::tr("正在停止");
}
} // namespace

int CVantorDlg::SelectedRow() const {
    // The topmost selected row counts; several may be selected.
    for (int row = 0; row < m_listDevices.topLevelItemCount(); ++row) {
        if (m_listDevices.topLevelItem(row)->isSelected()) {
            return row;
        }
    }
    return -1;
}

bool CVantorDlg::IsPaneStopped(int i) const {
    return m_liveThreads[static_cast<size_t>(i)].GetLiveState() == PANE_STOPPED;
}

void CVantorDlg::RestoreRow(int row, const QStringList& shownBefore) {
    // After a failed write the row shows what the store holds, so it never shows
    // an assignment that was not saved. If the store cannot be read either, the
    // row goes back to what it showed before the command.
    DeviceStore store;
    std::optional<std::string> uid;
    if (store.ReadSlot(row, uid) != 0) {
        for (int column = 0; column < shownBefore.size(); ++column) {
            SetCell(row, column, shownBefore[column]);
        }
        return;
    }
    const QString text = uid ? QString::fromStdString(*uid) : QString();
    const QString status = text.isEmpty() ? QString() : ReadyText();
    SetCell(row, 0, text);
    for (int column = 1; column <= 3; ++column) {
        SetCell(row, column, status);
    }
}

void CVantorDlg::OnBnClickedAdd() {
    const int row = SelectedRow();
    if (row < 0 || !IsPaneStopped(row)) {
        return;
    }
    AddDlg dlg(this);
    if (dlg.exec() != QDialog::Accepted) {
        return;
    }
    const QStringList shownBefore = RowTexts(row);
    m_panes[static_cast<size_t>(row)].ClearPicture();
    SetCell(row, 0, dlg.m_strUID);
    for (int column = 1; column <= 3; ++column) {
        SetCell(row, column, ReadyText());
    }
    DeviceStore store;
    if (store.Assign(row, dlg.m_strUID.toStdString(), dlg.m_strPassword.toStdString()) != 0) {
        MessageBox::ShowError(this, QString::fromStdString(store.LastError()));
        RestoreRow(row, shownBefore);
    }
}

void CVantorDlg::OnBnClickedDelete() {
    const int row = SelectedRow();
    if (row < 0 || !IsPaneStopped(row)) {
        return;
    }
    const QStringList shownBefore = RowTexts(row);
    m_panes[static_cast<size_t>(row)].ClearPicture();
    for (int column = 0; column < 4; ++column) {
        SetCell(row, column, QString());
    }
    DeviceStore store;
    if (store.Free(row) != 0) {
        MessageBox::ShowError(this, QString::fromStdString(store.LastError()));
        RestoreRow(row, shownBefore);
    }
}

void CVantorDlg::OnBnClickedTalk() {
    const int row = SelectedRow();
    if (row < 0 || m_listDevices.topLevelItem(row)->text(0).isEmpty()) {
        return;
    }
    LiveThread& thread = m_liveThreads[static_cast<size_t>(row)];
    switch (thread.GetTalkState()) {
    case PANE_RUNNING:
        SetCell(row, 2, StoppingText());
        thread.StopTalk(this);
        break;
    case PANE_STOPPED:
        SetCell(row, 2, tr("正在启动"));
        thread.StartTalk(this);
        break;
    default:
        break;
    }
}

void CVantorDlg::OnBnClickedRecord() {
    const int row = SelectedRow();
    if (row < 0 || m_listDevices.topLevelItem(row)->text(0).isEmpty()) {
        return;
    }
    LiveThread& thread = m_liveThreads[static_cast<size_t>(row)];
    switch (thread.GetRecordState()) {
    case PANE_RUNNING:
        SetCell(row, 3, StoppingText());
        thread.StopRecord(this);
        break;
    case PANE_STOPPED:
        SetCell(row, 3, tr("准备录制"));
        thread.StartRecord(this);
        break;
    default:
        break;
    }
}

void CVantorDlg::OnNMDblclkDeviceList(int item) {
    if (item < 0 || item >= m_listDevices.topLevelItemCount()) {
        return;
    }
    const QString uid = m_listDevices.topLevelItem(item)->text(0);
    if (uid.isEmpty()) {
        return;
    }
    LiveThread& thread = m_liveThreads[static_cast<size_t>(item)];
    switch (thread.GetLiveState()) {
    case PANE_RUNNING:
        SetCell(item, 1, StoppingText());
        thread.StopLive(this);
        break;
    case PANE_STOPPED:
        SetCell(item, 1, tr("连接中"));
        thread.StartLive(uid.toStdString(), true, this, StoredPassword(item));
        break;
    case PANE_SWITCHING:
        // A double click while connecting cancels the connect.
        if (thread.IsStarting()) {
            SetCell(item, 1, StoppingText());
            thread.StopLive(this);
        }
        break;
    default:
        break;
    }
}

std::string CVantorDlg::StoredPassword(int row) {
    // A store that cannot be read gives the fixed password, as before passwords were kept.
    DeviceStore store;
    std::optional<std::string> uid;
    std::string password;
    store.ReadSlot(row, uid, &password);
    return password;
}

int CVantorDlg::FindPane(LiveThread* thread) const {
    for (size_t i = 0; i < m_liveThreads.size(); ++i) {
        if (m_liveThreads[i].GetThreadId() == thread->GetThreadId()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Writes a report's texts into the reporting pane's row, from firstColumn on.
// Reports from a pane thread are queued to the UI thread, so a pane thread
// never waits for the window (closing it can never deadlock); the immediate
// refusals arrive on the UI thread itself and are written at once.
void CVantorDlg::WriteReport(LiveThread* thread, int firstColumn, const QStringList& texts) {
    const int row = FindPane(thread);
    if (row < 0) {
        return;
    }
    auto write = [this, row, firstColumn, texts] {
        for (int k = 0; k < texts.size(); ++k) {
            SetCell(row, firstColumn + k, texts[k]);
        }
    };
    if (QThread::currentThread() == this->thread()) {
        write();
    } else {
        QMetaObject::invokeMethod(this, write, Qt::QueuedConnection);
    }
}

int CVantorDlg::OnLiveStarted(LiveThread* thread) {
    WriteReport(thread, 1, {tr("正在直播"), ReadyText(), ReadyText()});
    return 0;
}

int CVantorDlg::OnLiveFailed(LiveThread* thread) {
    WriteReport(thread, 1, {tr("直播失败")});
    // Only a pane's own report: the refusals on the UI thread never connected.
    if (QThread::currentThread() != this->thread() && thread->GetConnectError() == P2P_ERR_IDENTITY_MISMATCH)
        TellIdentityChanged(thread);
    return 0;
}

// Read on the pane's thread, which wrote them; shown on the UI thread.
void CVantorDlg::TellIdentityChanged(LiveThread* thread) {
    const QString text =
        tr("设备 %1 的身份已改变：它出示的密钥是 %2，而记录的是 %3。"
           "该设备已被拒绝，新的密钥不会被自动接受。"
           "如果确知设备已更换，请从 %4 中删除 %1 那一行，然后重新开始直播。")
            .arg(QString::fromStdString(thread->GetUid()), QString::fromStdString(thread->GetSeenIdentity()),
                 QString::fromStdString(thread->GetPinnedIdentity()),
                 QString::fromStdString(DeviceStore().KnownDevicesPath()));
    QMetaObject::invokeMethod(
        this, [this, text] { MessageBox::ShowError(this, text); }, Qt::QueuedConnection);
}

int CVantorDlg::OnLiveStopped(LiveThread* thread) {
    WriteReport(thread, 1, {ReadyText(), ReadyText(), ReadyText()});
    return 0;
}

int CVantorDlg::OnTalkStarted(LiveThread* thread) {
    WriteReport(thread, 2, {tr("正在对讲")});
    return 0;
}

int CVantorDlg::OnTalkFailed(LiveThread* thread) {
    WriteReport(thread, 2, {tr("启动失败")});
    return 0;
}

int CVantorDlg::OnTalkStopped(LiveThread* thread) {
    WriteReport(thread, 2, {ReadyText()});
    return 0;
}

int CVantorDlg::OnRecordStarted(LiveThread* thread) {
    WriteReport(thread, 3, {tr("正在录制")});
    return 0;
}

int CVantorDlg::OnRecordFailed(LiveThread* thread) {
    WriteReport(thread, 3, {tr("录制失败")});
    return 0;
}

int CVantorDlg::OnRecordStopped(LiveThread* thread) {
    WriteReport(thread, 3, {ReadyText()});
    return 0;
}

int CVantorDlg::OnLiveReconnecting(LiveThread* thread) {
    // A recording that was running waits for the device to resume.
    WriteReport(thread, 1, {tr("连接中")});
    if (thread->GetRecordState() == PANE_RUNNING)
        WriteReport(thread, 3, {tr("准备录制")});
    return 0;
}

// Ends the four pane threads and stops what they still run, all panes at
// once: each may wait up to a few seconds for its device, and a recording
// must be finalised before the program ends.
std::vector<std::string> CVantorDlg::ShutdownPanes() {
    std::array<bool, PANE_COUNT> finalised{};
    std::vector<std::thread> stoppers;
    for (size_t i = 0; i < m_liveThreads.size(); ++i) {
        stoppers.emplace_back([this, &finalised, i] { finalised[i] = m_liveThreads[i].Shutdown(); });
    }
    for (auto& stopper : stoppers) {
        stopper.join();
    }
    std::vector<std::string> failed;
    for (size_t i = 0; i < m_liveThreads.size(); ++i) {
        if (!finalised[i]) {
            failed.push_back(m_liveThreads[i].GetRecordingName());
        }
    }
    return failed;
}
