#pragma once

#include "bench/soak/CameraFleet.h"
#include "bench/soak/MemoryTrend.h"
#include "bench/soak/ProcessFigures.h"
#include "bench/soak/StatusWatch.h"

#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

class CVantorDlg;

// Drives the real main window from its own UI thread (a timer ticking inside
// the window's modal loop) for a given time: random operations every 0.5 to
// 3 s, the cameras' faults, figures every 10 s, and the checks. Its phases:
// - warm-up: all four panes live, talking and recording, then all stopped:
//   every kind of thread and buffer has been made once; the first figures;
// - random operations; at 2 minutes everything is stopped once more for the
//   reference figures, then the operations go on;
// - at the end everything is stopped for the last figures; then the four
//   panes go live, talk and record once more, the window must answer, and it
//   is closed as the close box does, with all of that running.
// The figures are taken as the operator would see them (a stopped pane hands
// its freed memory back to the system itself).
// A watchdog thread ends the process (status 3) when the window stops
// answering for 30 s.
class SoakRun {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        int minutes = 3;
        unsigned seed = 0;
        std::chrono::seconds reconnectLimit{48};
    };

    SoakRun(CVantorDlg& dlg, CameraFleet& fleet, const Options& options);
    ~SoakRun();
    SoakRun(const SoakRun&) = delete;
    SoakRun& operator=(const SoakRun&) = delete;

    // Starts the run; call from the window's modal loop.
    void Begin();
    // When the run asked the window to close (after its modal loop returned).
    Clock::time_point CloseRequested() const { return m_closeRequested; }
    // After the window is gone: checks the recordings in the current folder,
    // prints the figures and the faults; returns the exit status.
    int Finish(double closeSeconds, bool keepRecordings);

private:
    enum class Phase { WarmUpLive, WarmUpTalkRecord, Quiesce, Random, Done };
    enum class After { WarmUp, Checkpoint, End };
    static constexpr int kFaultyCamera = 3;

    void Tick();
    void Enter(Phase phase);
    void WarmUp(Clock::time_point now);
    void Quiesce(Clock::time_point now);
    void Quiesced();
    void CloseWindow();
    void RandomOperation(Clock::time_point now);
    void StartCamera(int i);
    void Click(int row, int id);
    void SampleFigures(Clock::time_point now);
    int RowsShowing(int column, const QString& text) const;
    double Minutes(Clock::time_point now) const;
    void Fault(const std::string& text);
    void Watch();
    std::vector<std::string> CheckRecordings(bool keep, int& count);

    CVantorDlg& m_dlg;
    CameraFleet& m_fleet;
    Options m_options;
    std::mt19937 m_random;
    StatusWatch m_watch;
    QTimer m_tick;

    Phase m_phase = Phase::WarmUpLive;
    After m_after = After::WarmUp;
    Clock::time_point m_start;
    Clock::time_point m_phaseSince;
    Clock::time_point m_lastTick;
    Clock::time_point m_nextOperation;
    Clock::time_point m_nextSample;
    Clock::time_point m_nextCheck;
    Clock::time_point m_closeRequested;
    std::optional<Clock::time_point> m_settledAt;
    std::array<std::optional<Clock::time_point>, StatusWatch::kRows> m_restartAt;
    bool m_checkpointDone = false;
    bool m_closing = false; // the final load before closing runs
    double m_longestStall = 0;
    std::map<std::string, int> m_operations;
    std::optional<ProcessFigures> m_first, m_atTwoMinutes, m_last;
    MemoryTrend m_trend; // every sample with a pane live, from 2 minutes to the end
    std::vector<std::string> m_faults;

    // The watchdog: the UI thread's last tick, in steady-clock milliseconds.
    std::atomic<int64_t> m_heartbeat{0};
    std::mutex m_watchLock;
    std::condition_variable m_watchWake;
    bool m_watchStop = false;
    std::thread m_watchdog;
};
