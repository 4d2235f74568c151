#pragma once

#include "app/VideoPane.h"
#include "live/LiveThread.h"

#include <QDialog>
#include <QIcon>
#include <QPushButton>
#include <QStringList>
#include <QTreeWidget>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class CUploadFileDlg;

// The main window: on the left a square grid of video panes, on the right a
// panel with five buttons above the device list (one row per pane). Controls
// are created when the dialog is first shown (OnInitDialog) and placed by the
// layout formulas at start and on every resize. Pane thread i drives pane i
// and reports to the window through its CAVStateListener interface.
class CVantorDlg : public QDialog, public CAVStateListener {
    Q_OBJECT

public:
    static constexpr int PANE_COUNT = 4;             // m_nGrid * m_nGrid
    static constexpr int INITIAL_CLIENT_WIDTH = 900; // template 500 x 300 units at 9 pt
    static constexpr int INITIAL_CLIENT_HEIGHT = 540;

    explicit CVantorDlg(QWidget* parent = nullptr);
    ~CVantorDlg() override;

    VideoPane* Pane(int i) { return &m_panes.at(static_cast<size_t>(i)); }
    LiveThread& PaneThread(int i) { return m_liveThreads.at(static_cast<size_t>(i)); }

    // Button and list handlers (CVantorDlg_Commands.cpp, CVantorDlg_Upload.cpp).
    void OnBnClickedUpload();
    void OnBnClickedAdd();
    void OnBnClickedDelete();
    void OnBnClickedTalk();
    void OnBnClickedRecord();
    void OnNMDblclkDeviceList(int item);
    // Sent by the batch upload dialog when it closes (wParam 0).
    intptr_t OnUploadClosed(uintptr_t wParam, intptr_t lParam);

    // CAVStateListener: pane threads report here (CVantorDlg_Commands.cpp).
    int OnLiveStarted(LiveThread* thread) override;
    int OnLiveFailed(LiveThread* thread) override;
    // Tells the operator that a device showed another key than the pinned one.
    void TellIdentityChanged(LiveThread* thread);
    int OnLiveStopped(LiveThread* thread) override;
    int OnTalkStarted(LiveThread* thread) override;
    int OnTalkFailed(LiveThread* thread) override;
    int OnTalkStopped(LiveThread* thread) override;
    int OnRecordStarted(LiveThread* thread) override;
    int OnRecordFailed(LiveThread* thread) override;
    int OnRecordStopped(LiveThread* thread) override;
    int OnLiveReconnecting(LiveThread* thread) override;

    // Ends the pane threads and stops what they run, finalising recordings;
    // returns the names of the recordings that could not be finalised ("" for
    // one that left no file). Safe to call again; the destructor calls it.
    std::vector<std::string> ShutdownPanes();

protected:
    bool OnInitDialog();
    void OnSize();

    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void LoadDeviceStore();
    int SelectedRow() const;
    bool IsPaneStopped(int i) const;
    void SetCell(int row, int column, const QString& text);
    QStringList RowTexts(int row) const;
    void RestoreRow(int row, const QStringList& shownBefore);
    // The password kept for the device of `row`; empty when none is (or the store is unreadable).
    static std::string StoredPassword(int row);
    int FindPane(LiveThread* thread) const;
    void WriteReport(LiveThread* thread, int firstColumn, const QStringList& texts);

    QIcon m_hIcon;
    int m_nInitWidth = 0;
    int m_nInitHeight = 0;
    int m_nGrid = 2;
    QPushButton m_btnUpload;
    QPushButton m_btnAdd;
    QPushButton m_btnDelete;
    QPushButton m_btnTalk;
    QPushButton m_btnRecord;
    QTreeWidget m_listDevices;
    std::array<VideoPane, PANE_COUNT> m_panes;
    CUploadFileDlg* m_pUploadDlg = nullptr;
    std::array<LiveThread, PANE_COUNT> m_liveThreads;

    bool m_initialised = false; // OnInitDialog has run
};
