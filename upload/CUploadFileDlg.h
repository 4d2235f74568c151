#pragma once

#include "platform/DeviceMonitor.h"
#include "upload/CUploadHandleThread.h"
#include "upload/UploadNotifySink.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScrollBar>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The batch upload window: up to ten Android devices attached over USB, one
// per row; each newly placed device is uploaded at once by its row's worker,
// and its media can then be deleted on the device. The rows follow USB
// arrivals and removals. Closes only through its close button, and only while
// all rows are idle; when closing it tells its parent through uploadNotify(0, 0).
//
// Workers reach the window through UploadNotifySink: posted notices are queued
// to the window's thread; a sent notice waits until it is handled, or until
// the window starts closing, so closing never waits for a worker that waits
// for the window.
class CUploadFileDlg : public QDialog, public UploadNotifySink {
    Q_OBJECT

public:
    explicit CUploadFileDlg(QWidget* parent = nullptr);
    ~CUploadFileDlg() override;

    // The control with this id (the ids of the dialog template), or nullptr.
    QWidget* GetDlgItem(int id) const;

    // Device arrival (0x8000) or removal (0x8004), as the device monitor reports.
    void OnDeviceChange(uint32_t event);

    // The row command of an upload or delete button id; false for other ids.
    bool OnCommand(int id);

    // Colour state of each row's status text: 0 none, 1 busy, 2 succeeded, 3 failed.
    int RowState[10] = {};

    // A device name as shown: UTF-8, else GB18030 (older devices), else
    // UTF-8 with the broken bytes replaced.
    static QString DisplayName(const std::string& name);

    // UploadNotifySink, called from worker threads.
    void PostNotify(uintptr_t wParam, UploadJob* job) override;
    void SendNotify(uintptr_t wParam, UploadJob* job) override;
    void PostProgress(const UploadProgress& progress) override;

signals:
    // To the parent as the last step of closing: wParam 0, lParam 0.
    void uploadNotify(uintptr_t wParam, intptr_t lParam);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    // What the latest completed upload of a row's device brought home; the
    // row's delete removes exactly these files, and nothing before it.
    struct RowHome {
        uint64_t ticket = 0; // the placement whose upload it was
        std::vector<HomeFile> files;
    };

    struct OwnedJob {
        UploadJob job;
        std::vector<std::string> serials;
        std::vector<std::string> names;
    };

    void OnInitDialog();
    void OnBnClickedClose();
    void OnClose();
    void Refresh();
    void OnUploadNotify(uintptr_t wParam, UploadJob* job);
    void OnListResult(UploadJob& job);
    void OnJobFinished(uintptr_t wParam, UploadJob& job);
    void OnProgress(const UploadProgress& progress);
    bool AllRowsIdle() const;
    void UpdateCloseButton();
    void PaintRowState(int row);
    void ClearRow(int row);
    void PlaceDevice(int row, const std::string& serial, const std::string& transport, const std::string& name);
    void RelistWhileWaiting(int waiting);
    static QString ResultText(int type, int result, int kept, int& state);
    UploadJob* NewJob(int type);
    bool PostJob(CUploadHandleThread* worker, uintptr_t wParam, UploadJob* job);
    void ReleaseJob(UploadJob* job);
    void StopWorkers();
    bool Closing();

    QLabel m_deviceList;
    QGroupBox m_group;
    QScrollBar m_scrollBar;
    QPushButton m_btnClose;
    QLabel m_name[10];
    QLabel m_serial[10];
    QLabel m_status[10];
    QPushButton m_upload[10];
    QPushButton m_delete[10];
    QPalette m_defaultPalette;
    std::string m_rowName[10];   // the name as the device gave it, the folder's name
    std::string m_transport[10]; // with the serial text, the identity of the row's device
    uint64_t m_ticket[10] = {};  // changes with every placement and clearing of the row
    uint64_t m_nextTicket = 0;
    RowHome m_home[10];
    QElapsedTimer m_waitingSince; // devices listed as unauthorized or offline since
    bool m_relistQueued = false;

    // Jobs in flight, owned here until their final notice (or the window's end).
    std::map<UploadJob*, std::unique_ptr<OwnedJob>> m_jobs;
    int m_pendingRow[10] = {}; // jobs posted to each row's worker and not yet finished
    int m_pendingLists = 0;

    std::unique_ptr<CUploadHandleThread> m_listWorker;
    std::unique_ptr<CUploadHandleThread> m_rowWorkers[10];
    DeviceMonitor m_monitor;

    std::mutex m_sendLock;
    std::condition_variable m_sendDone;
    bool m_closing = false;
    bool m_closed = false;
};
