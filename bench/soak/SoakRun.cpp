#include "bench/soak/SoakRun.h"

#include "app/CVantorDlg.h"
#include "app/ControlId.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "live/LiveThread.h"
#include "upload/ConsoleRunner.h"

#include <QDir>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kTickMs = 100;
constexpr auto kWarmUpLimit = std::chrono::seconds(60);
constexpr auto kQuiesceLimit = std::chrono::seconds(60);
constexpr auto kSettleGrace = std::chrono::seconds(2);
constexpr auto kSampleEvery = std::chrono::seconds(10);
// Runs at least this long are held to the 5% memory goal.
constexpr int kTrendMinutes = 10;
constexpr auto kCheckpoint = std::chrono::minutes(2);
constexpr auto kTransitionLimit = std::chrono::seconds(15);
constexpr int kHangSeconds = 30;
constexpr double kCloseLimitSeconds = 10;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SoakRun::Clock::now().time_since_epoch()).count();
}

QTreeWidget* List(CVantorDlg& dlg) {
    return qobject_cast<QTreeWidget*>(FindControl(&dlg, IDC_DEVICE_LIST));
}

} // namespace

SoakRun::SoakRun(CVantorDlg& dlg, CameraFleet& fleet, const Options& options)
    : m_dlg(dlg), m_fleet(fleet), m_options(options), m_random(options.seed),
      m_watch(&dlg, options.reconnectLimit, kTransitionLimit) {
    m_tick.setInterval(kTickMs);
    QObject::connect(&m_tick, &QTimer::timeout, [this] { Tick(); });
}

SoakRun::~SoakRun() {
    {
        std::lock_guard<std::mutex> guard(m_watchLock);
        m_watchStop = true;
    }
    m_watchWake.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
}

void SoakRun::Begin() {
    m_start = m_lastTick = Clock::now();
    m_nextSample = m_nextCheck = m_start;
    m_heartbeat = NowMs();
    m_watchdog = std::thread([this] { Watch(); });
    m_tick.start();
    Enter(Phase::WarmUpLive);
}

void SoakRun::Watch() {
    std::unique_lock<std::mutex> guard(m_watchLock);
    while (!m_watchWake.wait_for(guard, std::chrono::seconds(1), [this] { return m_watchStop; })) {
        if (NowMs() - m_heartbeat.load() > kHangSeconds * 1000) {
            std::printf("soak: FAIL: the window has not answered for %d s (hang)\n", kHangSeconds);
            std::fflush(stdout);
            std::_Exit(3);
        }
    }
}

double SoakRun::Minutes(Clock::time_point now) const {
    return std::chrono::duration<double>(now - m_start).count() / 60.0;
}

void SoakRun::Fault(const std::string& text) {
    std::printf("soak: %5.1f min: fault: %s\n", Minutes(Clock::now()), text.c_str());
    std::fflush(stdout);
    m_faults.push_back(text);
}

void SoakRun::Enter(Phase phase) {
    m_phase = phase;
    m_phaseSince = Clock::now();
    m_settledAt.reset();
    if (phase == Phase::WarmUpLive) {
        for (int row = 0; row < StatusWatch::kRows; ++row)
            m_dlg.OnNMDblclkDeviceList(row);
    } else if (phase == Phase::WarmUpTalkRecord) {
        for (int row = 0; row < StatusWatch::kRows; ++row) {
            Click(row, IDC_BTN_TALK);
            Click(row, IDC_BTN_RECORD);
        }
    } else if (phase == Phase::Random) {
        m_nextOperation = m_phaseSince;
    }
}

void SoakRun::Click(int row, int id) {
    QTreeWidget* list = List(m_dlg);
    list->clearSelection();
    list->topLevelItem(row)->setSelected(true);
    qobject_cast<QPushButton*>(FindControl(&m_dlg, id))->click();
}

int SoakRun::RowsShowing(int column, const QString& text) const {
    int rows = 0;
    for (int row = 0; row < StatusWatch::kRows; ++row)
        rows += m_watch.Cell(row, column) == text ? 1 : 0;
    return rows;
}

void SoakRun::Tick() {
    const Clock::time_point now = Clock::now();
    m_heartbeat = NowMs();
    m_longestStall = std::max(m_longestStall, std::chrono::duration<double>(now - m_lastTick).count());
    m_lastTick = now;

    for (int i = 0; i < m_fleet.Count(); ++i) {
        if (m_restartAt[static_cast<size_t>(i)] && now >= *m_restartAt[static_cast<size_t>(i)])
            StartCamera(i);
    }
    if (now >= m_nextCheck) {
        m_nextCheck = now + std::chrono::seconds(1);
        std::array<std::optional<Clock::time_point>, StatusWatch::kRows> up;
        for (int i = 0; i < StatusWatch::kRows; ++i)
            up[static_cast<size_t>(i)] = m_fleet.UpSince(i);
        m_watch.Check(now, up);
        for (const std::string& fault : m_watch.TakeFaults())
            Fault(fault);
        for (const std::string& crash : m_fleet.TakeCrashes())
            Fault(crash);
    }
    if (now >= m_nextSample) {
        m_nextSample += kSampleEvery;
        SampleFigures(now);
    }

    switch (m_phase) {
    case Phase::WarmUpLive:
    case Phase::WarmUpTalkRecord:
        WarmUp(now);
        break;
    case Phase::Quiesce:
        Quiesce(now);
        break;
    case Phase::Random:
        if (!m_checkpointDone && now - m_start >= kCheckpoint) {
            m_after = After::Checkpoint;
            Enter(Phase::Quiesce);
        } else if (now - m_start >= std::chrono::minutes(m_options.minutes)) {
            m_after = After::End;
            Enter(Phase::Quiesce);
        } else if (now >= m_nextOperation) {
            RandomOperation(now);
            std::uniform_int_distribution<int> pause(500, 3000);
            m_nextOperation = now + std::chrono::milliseconds(pause(m_random));
        }
        break;
    case Phase::Done:
        break;
    }
}

void SoakRun::WarmUp(Clock::time_point now) {
    const bool live = RowsShowing(1, CVantorDlg::tr("正在直播")) == StatusWatch::kRows;
    const bool busy = RowsShowing(2, CVantorDlg::tr("正在对讲")) == StatusWatch::kRows &&
                      RowsShowing(3, CVantorDlg::tr("正在录制")) == StatusWatch::kRows;
    const bool late = now - m_phaseSince > kWarmUpLimit;
    if (m_phase == Phase::WarmUpLive && (live || late)) {
        if (!live)
            Fault("not every pane went live within 60 s");
        Enter(Phase::WarmUpTalkRecord);
    } else if (m_phase == Phase::WarmUpTalkRecord && ((busy && now - m_phaseSince > std::chrono::seconds(5)) || late)) {
        if (!busy)
            Fault("not every pane talked and recorded within 60 s");
        if (m_closing) {
            CloseWindow();
        } else {
            m_after = After::WarmUp;
            Enter(Phase::Quiesce);
        }
    }
}

// Every camera up, every pane stopped, every text settled; then, after a
// short grace for threads that end on their own, the figures.
void SoakRun::Quiesce(Clock::time_point now) {
    for (int i = 0; i < m_fleet.Count(); ++i)
        if (!m_fleet.UpSince(i))
            StartCamera(i);
    bool settled = true;
    for (int row = 0; row < StatusWatch::kRows; ++row) {
        LiveThread& thread = m_dlg.PaneThread(row);
        if (thread.GetLiveState() == PANE_RUNNING)
            m_dlg.OnNMDblclkDeviceList(row);
        settled = settled && thread.GetLiveState() == PANE_STOPPED && thread.GetTalkState() == PANE_STOPPED &&
                  thread.GetRecordState() == PANE_STOPPED && m_watch.Settled(row);
    }
    if (!settled && now - m_phaseSince > kQuiesceLimit) {
        std::string texts;
        for (int row = 0; row < StatusWatch::kRows; ++row)
            for (int column = 1; column < 4; ++column)
                texts += " \"" + m_watch.Cell(row, column).toStdString() + "\"";
        Fault("the panes did not all stop within 60 s:" + texts);
        settled = true;
    }
    if (settled && !m_settledAt)
        m_settledAt = now;
    if (m_settledAt && now - *m_settledAt >= kSettleGrace)
        Quiesced();
}

void SoakRun::Quiesced() {
    const ProcessFigures figures = ProcessFigures::Sample();
    const Clock::time_point now = Clock::now();
    const char* const names[] = {"first figures, after the warm-up", "reference figures, at 2 minutes", "last figures"};
    std::printf("soak: %5.1f min: %s, all stopped: %s\n", Minutes(now), names[static_cast<int>(m_after)],
                figures.Text().c_str());
    switch (m_after) {
    case After::WarmUp:
        m_first = figures;
        // From now on one camera has a fault switch.
        m_fleet.Kill(kFaultyCamera);
        StartCamera(kFaultyCamera);
        Enter(Phase::Random);
        break;
    case After::Checkpoint:
        m_checkpointDone = true;
        m_atTwoMinutes = figures;
        Enter(Phase::Random);
        break;
    case After::End:
        m_last = figures;
        // The window closes with every pane live, talking and recording.
        m_closing = true;
        m_fleet.Kill(kFaultyCamera);
        StartCamera(kFaultyCamera);
        Enter(Phase::WarmUpLive);
        break;
    }
    std::fflush(stdout);
}

void SoakRun::CloseWindow() {
    Enter(Phase::Done);
    m_tick.stop();
    if (!m_dlg.isVisible())
        Fault("the window is no longer shown");
    // The window answers when an event posted to it runs.
    const Clock::time_point asked = Clock::now();
    QTimer::singleShot(0, &m_dlg, [this, asked] {
        const double answered = std::chrono::duration<double>(Clock::now() - asked).count();
        std::printf("soak: the window answered in %.3f s; closing it with every pane live, talking and recording\n",
                    answered);
        if (answered > 1.0)
            Fault("the window took more than 1 s to answer");
        m_closeRequested = Clock::now();
        m_dlg.close();
    });
}

void SoakRun::StartCamera(int i) {
    m_restartAt[static_cast<size_t>(i)].reset();
    std::vector<std::string> fault;
    // The faulty camera has its fault between the warm-up and the final load.
    if (i == kFaultyCamera && !m_closing && m_phase != Phase::WarmUpLive && m_phase != Phase::WarmUpTalkRecord) {
        std::uniform_int_distribution<int> seconds(8, 40);
        fault = {m_random() % 2 ? "--close-after" : "--vanish-after", std::to_string(seconds(m_random))};
    }
    if (!m_fleet.Start(i, fault))
        Fault("camera " + std::to_string(i) + " could not be started");
}

void SoakRun::RandomOperation(Clock::time_point now) {
    std::vector<int> stopped, running, upCameras;
    for (int row = 0; row < StatusWatch::kRows; ++row) {
        const int state = m_dlg.PaneThread(row).GetLiveState();
        if (state == PANE_STOPPED)
            stopped.push_back(row);
        else if (state == PANE_RUNNING)
            running.push_back(row);
        if (m_fleet.UpSince(row))
            upCameras.push_back(row);
    }
    auto pick = [this](const std::vector<int>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(m_random)];
    };
    std::uniform_int_distribution<int> anyRow(0, StatusWatch::kRows - 1);
    // Weights: start live 3, stop live 1, talk 2, record 2, kill a camera 1.
    const int operation = std::discrete_distribution<int>({3, 1, 2, 2, 1})(m_random);
    if (operation == 0 && !stopped.empty()) {
        m_dlg.OnNMDblclkDeviceList(pick(stopped));
        ++m_operations["start live"];
    } else if (operation == 1 && !running.empty()) {
        m_dlg.OnNMDblclkDeviceList(pick(running));
        ++m_operations["stop live"];
    } else if (operation == 2) {
        Click(anyRow(m_random), IDC_BTN_TALK);
        ++m_operations["talk"];
    } else if (operation == 3) {
        Click(anyRow(m_random), IDC_BTN_RECORD);
        ++m_operations["record"];
    } else if (operation == 4 && upCameras.size() >= 3) {
        // At most two cameras down at a time; back after 1 to 20 s.
        const int camera = pick(upCameras);
        m_fleet.Kill(camera);
        m_restartAt[static_cast<size_t>(camera)] =
            now + std::chrono::milliseconds(std::uniform_int_distribution<int>(1000, 20000)(m_random));
        ++m_operations["kill -9 camera"];
    } else {
        ++m_operations["nothing to do"];
    }
}

void SoakRun::SampleFigures(Clock::time_point now) {
    int live = 0, talking = 0, recording = 0, cameras = 0;
    for (int row = 0; row < StatusWatch::kRows; ++row) {
        live += m_dlg.PaneThread(row).GetLiveState() == PANE_RUNNING ? 1 : 0;
        talking += m_dlg.PaneThread(row).GetTalkState() == PANE_RUNNING ? 1 : 0;
        recording += m_dlg.PaneThread(row).GetRecordState() == PANE_RUNNING ? 1 : 0;
        cameras += m_fleet.UpSince(row) ? 1 : 0;
    }
    const ProcessFigures figures = ProcessFigures::Sample();
    if (m_checkpointDone && !m_last && live > 0)
        m_trend.Add(Minutes(now), figures);
    std::printf("soak: %5.1f min: %s; panes live %d, talking %d, recording %d; cameras up %d\n", Minutes(now),
                figures.Text().c_str(), live, talking, recording, cameras);
    std::fflush(stdout);
}

std::vector<std::string> SoakRun::CheckRecordings(bool keep, int& count) {
    std::vector<std::string> faults;
    const QStringList files = QDir().entryList({QStringLiteral("*.mp4")}, QDir::Files, QDir::Name);
    count = static_cast<int>(files.size());
    for (const QString& file : files) {
        ConsoleRunner ffmpeg;
        ffmpeg.SetTimeout(120000);
        const std::string name = file.toStdString();
        // -nostdin: the runner writes to the child's input, which ffmpeg would read as keys.
        if (ffmpeg.Start({"ffmpeg", "-nostdin", "-v", "error", "-i", name, "-f", "null", "-"}) != 1) {
            faults.push_back("ffmpeg cannot be started");
            break;
        }
        ffmpeg.Finish();
        const std::string said = ffmpeg.Output();
        if (!said.empty() || ffmpeg.ExitCode() != 0)
            faults.push_back("recording " + name + " does not play: " + said.substr(0, 300));
        else if (!keep)
            QFile::remove(file);
    }
    return faults;
}

int SoakRun::Finish(double closeSeconds, bool keepRecordings) {
    {
        std::lock_guard<std::mutex> guard(m_watchLock);
        m_watchStop = true;
    }
    m_watchWake.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();

    std::printf("soak: the window closed in %.2f s\n", closeSeconds);
    if (closeSeconds > kCloseLimitSeconds)
        Fault("the window took more than 10 s to close");
    for (const QString& text : MessageBox::TakeRecorded())
        Fault("message box: " + text.toStdString());
    int recordings = 0;
    for (const std::string& fault : CheckRecordings(keepRecordings, recordings))
        Fault(fault);

    std::string operations;
    for (const auto& [name, count] : m_operations)
        operations += (operations.empty() ? "" : ", ") + name + " " + std::to_string(count);
    std::printf("soak: %d min, seed %u; operations: %s\n", m_options.minutes, m_options.seed, operations.c_str());
    std::printf("soak: %d recordings played with ffmpeg; longest pause of the window %.2f s\n", recordings,
                m_longestStall);
    std::printf("soak: longest \"%s\" or \"%s\" with the camera up %.0f s (limit %lld s); longest \"%s\" or \"%s\" "
                "%.0f s (limit %lld s)\n",
                qPrintable(CVantorDlg::tr("连接中")), qPrintable(CVantorDlg::tr("准备录制")), m_watch.LongestWaiting(),
                static_cast<long long>(m_options.reconnectLimit.count()), qPrintable(CVantorDlg::tr("正在启动")),
                qPrintable(CVantorDlg::tr("正在停止")), m_watch.LongestPassing(),
                static_cast<long long>(kTransitionLimit.count()));
    if (!m_first || !m_last) {
        Fault("the run did not reach its end");
    } else {
        std::printf("soak: figures with all panes stopped:\n");
        std::printf("soak:   first   %s\n", m_first->Text().c_str());
        if (m_atTwoMinutes)
            std::printf("soak:   2 min   %s\n", m_atTwoMinutes->Text().c_str());
        std::printf("soak:   last    %s\n", m_last->Text().c_str());
        if (m_last->threads > m_first->threads)
            Fault("threads grew from " + std::to_string(m_first->threads) + " to " + std::to_string(m_last->threads));
        if (m_last->fds > m_first->fds)
            Fault("descriptors grew from " + std::to_string(m_first->fds) + " to " + std::to_string(m_last->fds));
        // Over a few minutes the line only follows which panes happened to be
        // busy: a run that short is judged on crashes, hangs, threads and
        // descriptors, and its memory line is printed.
        const bool judged = m_options.minutes >= kTrendMinutes;
        std::printf("soak: memory trend while panes ran, after the first two minutes: %s (%s)\n",
                    m_trend.Text().c_str(), judged ? "limit +5%" : "not judged in a run under 10 minutes");
        if (judged && m_trend.RssGrowthPercent() > 5.0)
            Fault("resident memory grew after the first two minutes: " + m_trend.Text());
    }
    std::printf("soak: %s (%zu faults)\n", m_faults.empty() ? "PASS" : "FAIL", m_faults.size());
    return m_faults.empty() ? 0 : 1;
}
