// The main window's commands: add and delete a device; talk, record and the
// double click on the list come with live view.
#include "CVantorDlg.h"

#include "AddDlg.h"
#include "DeviceStore.h"
#include "MessageBox.h"

#include <optional>

namespace {
const QString READY_TEXT = QStringLiteral("就绪");
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

bool CVantorDlg::IsPaneStopped(int) const {
    // Until the pane threads exist every pane is stopped.
    return true;
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
    const QString status = text.isEmpty() ? QString() : READY_TEXT;
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
    SetCell(row, 0, dlg.m_strUID);
    for (int column = 1; column <= 3; ++column) {
        SetCell(row, column, READY_TEXT);
    }
    DeviceStore store;
    if (store.Assign(row, dlg.m_strUID.toStdString()) != 0) {
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
    for (int column = 0; column < 4; ++column) {
        SetCell(row, column, QString());
    }
    DeviceStore store;
    if (store.Free(row) != 0) {
        MessageBox::ShowError(this, QString::fromStdString(store.LastError()));
        RestoreRow(row, shownBefore);
    }
}

void CVantorDlg::OnBnClickedTalk() {}

void CVantorDlg::OnBnClickedRecord() {}

void CVantorDlg::OnNMDblclkDeviceList(int) {}
