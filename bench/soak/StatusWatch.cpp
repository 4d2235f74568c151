#include "bench/soak/StatusWatch.h"

#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/Resource.h"

#include <QTreeWidget>

#include <algorithm>

StatusWatch::StatusWatch(QWidget* window, std::chrono::seconds reconnect, std::chrono::seconds transition)
    : m_window(window), m_reconnect(reconnect), m_transition(transition) {}

QString StatusWatch::Cell(int row, int column) const {
    const auto* list = qobject_cast<QTreeWidget*>(FindControl(m_window, IDC_DEVICE_LIST));
    const QTreeWidgetItem* item = list ? list->topLevelItem(row) : nullptr;
    return item ? item->text(column) : QString();
}

bool StatusWatch::Settled(int row) const {
    const QString passing[] = {CVantorDlg::tr("连接中"), CVantorDlg::tr("准备录制"), CVantorDlg::tr("正在启动"),
                               CVantorDlg::tr("正在停止")};
    for (int column = 1; column < 4; ++column)
        for (const QString& text : passing)
            if (Cell(row, column) == text)
                return false;
    return true;
}

void StatusWatch::Check(Clock::time_point now, const std::array<std::optional<Clock::time_point>, kRows>& cameraUp) {
    const QString waiting[] = {CVantorDlg::tr("连接中"), CVantorDlg::tr("准备录制")};
    const QString moving[] = {CVantorDlg::tr("正在启动"), CVantorDlg::tr("正在停止")};
    for (int row = 0; row < kRows; ++row) {
        for (int column = 1; column < 4; ++column) {
            Seen& seen = m_seen[static_cast<size_t>(row)][static_cast<size_t>(column)];
            const QString text = Cell(row, column);
            if (text != seen.text)
                seen = {text, now, false};
            std::optional<Clock::duration> age;
            std::chrono::seconds limit = m_transition;
            if (text == waiting[0] || text == waiting[1]) {
                limit = m_reconnect;
                if (cameraUp[static_cast<size_t>(row)])
                    age = now - std::max(seen.since, *cameraUp[static_cast<size_t>(row)]);
            } else if (text == moving[0] || text == moving[1]) {
                age = now - seen.since;
            }
            if (!age)
                continue;
            double& longest = limit == m_reconnect ? m_longestWaiting : m_longestPassing;
            longest = std::max(longest, std::chrono::duration<double>(*age).count());
            if (*age <= limit || seen.reported)
                continue;
            seen.reported = true;
            m_faults.push_back("row " + std::to_string(row) + " column " + std::to_string(column) + " shows \"" +
                               text.toStdString() + "\" for more than " + std::to_string(limit.count()) + " s" +
                               (limit == m_reconnect ? " with its camera up" : ""));
        }
    }
}

std::vector<std::string> StatusWatch::TakeFaults() {
    std::vector<std::string> faults;
    faults.swap(m_faults);
    return faults;
}
