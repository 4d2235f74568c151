#pragma once

#include <QString>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

class QWidget;

// Finds status texts of the device list that stay too long. A text that only
// passes ("正在停止", "正在启动", and "连接中" or "准备录制" while the camera
// is up) must give way within its limit:
// - "连接中" and "准备录制" (a recording waiting for its camera) within
//   `reconnect`, counted from when the text appeared or the row's camera came
//   up, whichever is later: the pane retries at least that often;
// - "正在启动" and "正在停止" within `transition`, camera or not.
// Each overlong text is reported once.
class StatusWatch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kRows = 4;

    // `window`: the main window, whose device list is looked up when read.
    StatusWatch(QWidget* window, std::chrono::seconds reconnect, std::chrono::seconds transition);

    // cameraUp[r]: when row r's camera came up, nothing while it is down.
    void Check(Clock::time_point now, const std::array<std::optional<Clock::time_point>, kRows>& cameraUp);
    // Faults found since the last call.
    std::vector<std::string> TakeFaults();
    // True when no cell of the row shows a passing text.
    bool Settled(int row) const;
    QString Cell(int row, int column) const;
    // The longest a waiting text stayed with its camera up, and a passing
    // one stayed at all, in seconds.
    double LongestWaiting() const { return m_longestWaiting; }
    double LongestPassing() const { return m_longestPassing; }

private:
    struct Seen {
        QString text;
        Clock::time_point since;
        bool reported = false;
    };

    QWidget* m_window;
    std::chrono::seconds m_reconnect;
    std::chrono::seconds m_transition;
    std::array<std::array<Seen, 4>, kRows> m_seen;
    std::vector<std::string> m_faults;
    double m_longestWaiting = 0;
    double m_longestPassing = 0;
};
