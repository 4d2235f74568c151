// LiveThread against the simulated camera over loopback: the request
// operations, the order of reports, and shutting down with work in flight.
#include "LiveThread.h"
#include "CamSim.h"
#include "RenderTarget.h"
#include "TestFiles.h"
#include "TestNet.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sys/mount.h>
#include <thread>
#include <vector>

using testnet::WaitUntil;

namespace {

enum Event {
    LiveStarted,
    LiveFailed,
    LiveStopped,
    TalkStarted,
    TalkFailed,
    TalkStopped,
    RecordStarted,
    RecordFailed,
    RecordStopped,
    LiveReconnecting
};

class RecordingListener : public CAVStateListener {
public:
    struct Report {
        Event event;
        LiveThread* thread;
        std::thread::id caller;
    };

    int OnLiveStarted(LiveThread* t) override { return Add(LiveStarted, t); }
    int OnLiveFailed(LiveThread* t) override { return Add(LiveFailed, t); }
    int OnLiveStopped(LiveThread* t) override { return Add(LiveStopped, t); }
    int OnTalkStarted(LiveThread* t) override { return Add(TalkStarted, t); }
    int OnTalkFailed(LiveThread* t) override { return Add(TalkFailed, t); }
    int OnTalkStopped(LiveThread* t) override { return Add(TalkStopped, t); }
    int OnRecordStarted(LiveThread* t) override { return Add(RecordStarted, t); }
    int OnRecordFailed(LiveThread* t) override { return Add(RecordFailed, t); }
    int OnRecordStopped(LiveThread* t) override { return Add(RecordStopped, t); }
    int OnLiveReconnecting(LiveThread* t) override { return Add(LiveReconnecting, t); }

    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_reports;
    }
    std::vector<Event> Events() {
        std::vector<Event> events;
        for (const auto& r : Reports())
            events.push_back(r.event);
        return events;
    }
    // Waits until `count` reports have arrived.
    bool WaitFor(size_t count, int timeoutMs = 15000) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_reports.size() >= count; });
    }

private:
    int Add(Event e, LiveThread* t) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_reports.push_back({e, t, std::this_thread::get_id()});
        m_changed.notify_all();
        return 0;
    }
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Report> m_reports;
};

class CountingTarget : public RenderTarget {
public:
    bool DrawPicture(const uint32_t*, int width, int height) override {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_pictures;
        m_width = width;
        m_height = height;
        m_showing = true;
        return true;
    }
    void ClearPicture() override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_showing = false;
    }
    bool Showing() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_showing;
    }
    int Pictures() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pictures;
    }
    std::pair<int, int> Size() {
        std::lock_guard<std::mutex> guard(m_lock);
        return {m_width, m_height};
    }

private:
    std::mutex m_lock;
    int m_pictures = 0;
    int m_width = 0;
    int m_height = 0;
    bool m_showing = false;
};

class LiveThreadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }

    void SetUp() override {
        m_oldDir = std::filesystem::current_path();
        std::filesystem::current_path(m_dir.path()); // recordings go to the current folder
        WriteFile(m_dir.path() / "mic.raw", ToneU8(500, 10));
        UseCaptureFile(m_dir.path() / "mic.raw");
        setenv("SDL_DISKAUDIOFILE", (m_dir.path() / "speaker.raw").c_str(), 1);

        StartCamera([](CamSimConfig&) {});
    }
    // (Re)starts the camera, 320x240 unless `change` says otherwise; a new
    // UID unless the camera is to come back as the same device.
    void StartCamera(const std::function<void(CamSimConfig&)>& change, bool sameDevice = false) {
        camera.reset();
        if (!sameDevice)
            uid = testnet::UniqueUid("LIVE");
        CamSimConfig config;
        config.uids = {uid};
        config.width = 320;
        config.height = 240;
        config.settings = P2PSettings::Current();
        config.talkbackDir = m_dir.path().string();
        config.log = [](const std::string&) {};
        change(config);
        camera = std::make_unique<CamSim>(config);
        ASSERT_EQ(camera->Start(), 0);
    }
    void TearDown() override {
        camera.reset();
        std::filesystem::current_path(m_oldDir);
    }

    // Starts the pane thread and live view (drawn into target) and waits for the report.
    void GoLive(LiveThread& pane, RecordingListener& listener, CountingTarget* target = nullptr) {
        if (target)
            pane.SetRenderWindow(target);
        ASSERT_TRUE(pane.CreateThread());
        ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
        ASSERT_TRUE(listener.WaitFor(1));
        ASSERT_EQ(listener.Events().back(), LiveStarted);
        ASSERT_EQ(pane.GetLiveState(), PANE_RUNNING);
    }

    // The recordings in a folder, oldest first.
    std::vector<std::filesystem::path> Recordings(const std::filesystem::path& folder = {}) {
        std::vector<std::filesystem::path> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? m_dir.path() : folder, ec))
            if (entry.path().filename().string().rfind("LiveVideo-", 0) == 0)
                found.push_back(entry.path());
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return std::filesystem::last_write_time(a) < std::filesystem::last_write_time(b);
        });
        return found;
    }
    // Waits until the folder's newest recording holds its first fragment.
    bool WaitForFragment(const std::filesystem::path& folder = {}) {
        return WaitUntil(
            [&] {
                auto files = Recordings(folder);
                std::error_code ec;
                return !files.empty() && std::filesystem::file_size(files.back(), ec) > 0;
            },
            10000);
    }

    TempDir m_dir;
    std::filesystem::path m_oldDir;
    std::string uid;
    std::unique_ptr<CamSim> camera;
};

} // namespace

TEST_F(LiveThreadTest, RefusedRequestsChangeNothingOrFailAtOnceOnTheCallersThread) {
    LiveThread pane;
    RecordingListener listener;
    ASSERT_TRUE(pane.CreateThread());

    EXPECT_EQ(pane.StartLive("", true, &listener), -1);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);

    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    pane.StopLive(&listener);
    pane.StopTalk(&listener);
    pane.StopRecord(&listener);
    auto reports = listener.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].event, TalkFailed);
    EXPECT_EQ(reports[1].event, RecordFailed);
    for (const auto& r : reports) {
        EXPECT_EQ(r.caller, std::this_thread::get_id());
        EXPECT_EQ(r.thread, &pane);
    }
    EXPECT_EQ(pane.GetTalkState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);

    // Unknown command codes are ignored by the pane thread.
    ASSERT_TRUE(pane.PostThreadMessage(UM_LIVE_COMMAND, 0, reinterpret_cast<intptr_t>(&listener)));
    ASSERT_TRUE(pane.PostThreadMessage(UM_LIVE_COMMAND, 7, reinterpret_cast<intptr_t>(&listener)));
    pane.Shutdown();
    EXPECT_EQ(listener.Reports().size(), 2u);
}

TEST_F(LiveThreadTest, LiveViewStartsOnceDrawsPicturesAndStops) {
    LiveThread pane;
    CountingTarget target;
    RecordingListener listener;
    pane.SetRenderWindow(&target);
    ASSERT_TRUE(pane.CreateThread());

    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
    EXPECT_EQ(pane.GetLiveState(), PANE_SWITCHING);
    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0); // switching: nothing posted
    ASSERT_TRUE(listener.WaitFor(1));
    EXPECT_NE(listener.Reports()[0].caller, std::this_thread::get_id());
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);

    CountingTarget other;
    pane.SetRenderWindow(&other); // while live: ignored
    ASSERT_TRUE(WaitUntil([&] { return target.Pictures() >= 10; }, 10000));
    EXPECT_EQ(target.Size(), std::make_pair(320, 240));
    EXPECT_EQ(other.Pictures(), 0);

    EXPECT_TRUE(target.Showing());

    ASSERT_EQ(pane.StopLive(&listener), 0);
    ASSERT_TRUE(listener.WaitFor(2));
    EXPECT_EQ(listener.Events(), (std::vector<Event>{LiveStarted, LiveStopped}));
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
    EXPECT_FALSE(target.Showing()); // no stale picture after the stop
}

TEST_F(LiveThreadTest, StoppingLiveWhileTalkingAndRecordingReportsOnlyTheLiveStop) {
    LiveThread pane;
    RecordingListener listener;
    GoLive(pane, listener);

    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(3));
    EXPECT_EQ(pane.GetTalkState(), PANE_RUNNING);
    EXPECT_EQ(pane.GetRecordState(), PANE_RUNNING);
    ASSERT_TRUE(WaitUntil([&] { return camera->GetTalkbackRecords() >= 4; }, 10000));
    ASSERT_TRUE(WaitForFragment());

    pane.StopLive(&listener);
    ASSERT_TRUE(listener.WaitFor(4));
    auto events = listener.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3], LiveStopped);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetTalkState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);

    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(TestStreams::PlainMp4Problems(files[0]), "");
    std::string streams =
        TestStreams::Run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + files[0].string() + "'");
    EXPECT_EQ(streams, "h264\naac\n");
    EXPECT_EQ(camera->GetTalkbackFaults(), 0);
}

TEST_F(LiveThreadTest, UnreachableDeviceFailsAndALaterStartSucceeds) {
    LiveThread pane;
    RecordingListener listener;
    ASSERT_TRUE(pane.CreateThread());

    ASSERT_EQ(pane.StartLive(testnet::UniqueUid("NOBODY"), true, &listener), 0);
    ASSERT_TRUE(listener.WaitFor(1));
    EXPECT_EQ(listener.Events()[0], LiveFailed);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);

    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
    ASSERT_TRUE(listener.WaitFor(2));
    EXPECT_EQ(listener.Events()[1], LiveStarted);
}

TEST_F(LiveThreadTest, TalkAndRecordStartAndStopWithTheirOwnReports) {
    LiveThread pane;
    RecordingListener listener;
    GoLive(pane, listener);

    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(2));
    ASSERT_TRUE(WaitForFragment());
    pane.StopRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(3));
    pane.StartTalk(&listener);
    ASSERT_TRUE(listener.WaitFor(4));
    pane.StopTalk(&listener);
    ASSERT_TRUE(listener.WaitFor(5));
    EXPECT_EQ(listener.Events(),
              (std::vector<Event>{LiveStarted, RecordStarted, RecordStopped, TalkStarted, TalkStopped}));
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);
    ASSERT_EQ(Recordings().size(), 1u);
}

TEST_F(LiveThreadTest, APostThatCannotBeQueuedPutsTheStateBack) {
    LiveThread pane; // its thread never started: every post fails
    RecordingListener listener;
    EXPECT_EQ(pane.StartLive(uid, true, &listener), -1);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
    EXPECT_EQ(listener.Events(), std::vector<Event>{LiveFailed});
}

TEST_F(LiveThreadTest, ShutdownWhileRecordingFinalisesAPlayableFile) {
    RecordingListener listener;
    {
        LiveThread pane;
        GoLive(pane, listener);
        pane.StartRecord(&listener);
        ASSERT_TRUE(listener.WaitFor(2));
        ASSERT_TRUE(WaitForFragment());
    } // destroyed while live and recording
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(TestStreams::PlainMp4Problems(files[0]), "");
    EXPECT_EQ(listener.Events(), (std::vector<Event>{LiveStarted, RecordStarted}));
}

// A camera whose stream the pane records.
struct RecordingCase {
    const char* name;
    std::function<void(CamSimConfig&, const std::filesystem::path& folder)> camera;
    size_t files;
    std::pair<int, int> lastSize;
    bool beepMarker;
};

const RecordingCase kRecordingCases[] = {
    // The test picture, switching size 3 s in: the file ends and the
    // recording goes on in a new one.
    {"TestPictureThatChangesSize",
     [](CamSimConfig& c, const std::filesystem::path&) {
         c.resizeAfterSeconds = 3;
         c.resizeWidth = 480;
         c.resizeHeight = 272;
     },
     2,
     {480, 272},
     true},
    // A Main profile file with B-frames, passed through as it is.
    {"FileWithBFrames",
     [](CamSimConfig& c, const std::filesystem::path& folder) {
         c.source = (folder / "b.mp4").string();
         TestStreams::Run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -pix_fmt yuv420p "
                          "-c:v libx264 -profile:v main -bf 2 -g 25 '" +
                          c.source + "'");
     },
     1,
     {160, 120},
     false},
};

class PaneRecordingTest : public LiveThreadTest, public ::testing::WithParamInterface<RecordingCase> {};

// Recorded through the real pane: every file is a plain MP4 that decodes
// cleanly, and where the camera marks its beep, the white square appears
// within 40 ms of the beep's start.
TEST_P(PaneRecordingTest, EveryFileIsAPlainMp4WithSoundInStepWithThePicture) {
    const RecordingCase& c = GetParam();
    StartCamera([&](CamSimConfig& config) { c.camera(config, m_dir.path()); });
    CountingTarget target; // outlives the pane that draws into it
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener, &target);
    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(2));
    ASSERT_EQ(listener.Events().back(), RecordStarted);
    // 2.5 s of pictures of the last size.
    ASSERT_TRUE(WaitUntil([&] { return target.Size() == c.lastSize; }, 20000));
    const int from = target.Pictures();
    ASSERT_TRUE(WaitUntil([&] { return target.Pictures() >= from + 63; }, 20000));
    pane.StopRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(3));
    EXPECT_EQ(listener.Events().back(), RecordStopped);

    auto files = Recordings();
    ASSERT_EQ(files.size(), c.files);
    size_t squares = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_EQ(TestStreams::PlainMp4Problems(file), "");
        EXPECT_EQ(TestStreams::FragmentProblems(file), "");
        if (!c.beepMarker)
            continue;
        TestStreams::BeepMarks marks = TestStreams::FindBeepMarks(file);
        EXPECT_EQ(marks.unclearMarkers, 0);
        EXPECT_GE(marks.squares.size(), 1u);
        squares += marks.squares.size();
        for (double square : marks.squares) {
            double offset = 1e9;
            for (double beep : marks.beeps)
                offset = std::abs(beep - square) < std::abs(offset) ? beep - square : offset;
            EXPECT_LE(std::abs(offset), 0.040) << "square at " << square << " s, beep " << offset << " s away";
        }
    }
    EXPECT_GE(squares, c.beepMarker ? 3u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cameras, PaneRecordingTest, ::testing::ValuesIn(kRecordingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A small disk of its own, mounted for the test (needs root, as in CI).
class SmallDisk {
public:
    SmallDisk(const std::filesystem::path& path, const char* size) : m_path(path) {
        std::filesystem::create_directories(path);
        m_mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~SmallDisk() {
        if (m_mounted)
            umount2(m_path.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }

private:
    std::filesystem::path m_path;
    bool m_mounted = false;
};

// A recording whose folder disappears, or whose disk fills up, reports
// OnRecordFailed and stops; live view goes on, what was written plays, and
// the record button starts a new recording.
TEST_F(LiveThreadTest, FailedWritesReportRecordFailedAndLiveViewGoesOn) {
    SmallDisk disk(m_dir.path() / "small", "64k");
    if (!disk.Mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    CountingTarget target; // outlives the pane that draws into it
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener, &target);
    auto record = [&](const std::filesystem::path& folder, Event outcome) {
        std::filesystem::current_path(folder);
        size_t reports = listener.Reports().size();
        pane.StartRecord(&listener);
        EXPECT_TRUE(listener.WaitFor(reports + 1));
        if (outcome == RecordFailed) {
            EXPECT_TRUE(listener.WaitFor(reports + 2));
            EXPECT_EQ(listener.Events().back(), RecordFailed);
        } else {
            EXPECT_EQ(listener.Events().back(), RecordStarted);
        }
        EXPECT_EQ(pane.GetRecordState(), outcome == RecordFailed ? PANE_STOPPED : PANE_RUNNING);
    };

    // The folder is removed while recording.
    std::filesystem::path gone = m_dir.path() / "gone";
    std::filesystem::create_directories(gone);
    record(gone, RecordStarted);
    ASSERT_TRUE(WaitForFragment(gone));
    std::filesystem::remove_all(gone);
    ASSERT_TRUE(listener.WaitFor(3));
    EXPECT_EQ(listener.Events().back(), RecordFailed);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);
    // Starting again in the removed folder fails at once.
    size_t reports = listener.Reports().size();
    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(reports + 1));
    EXPECT_EQ(listener.Events().back(), RecordFailed);

    // The disk fills up: what fitted is finalised and plays.
    record(m_dir.path() / "small", RecordFailed);
    auto files = Recordings(m_dir.path() / "small");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(TestStreams::DecodeErrors(files[0]), "");
    EXPECT_FALSE(TestStreams::ReadPackets(files[0]).empty());
    // With room again, the next recording works.
    std::filesystem::remove(files[0]);
    record(m_dir.path() / "small", RecordStarted);
    ASSERT_TRUE(WaitForFragment(m_dir.path() / "small"));
    reports = listener.Reports().size();
    pane.StopRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(reports + 1));
    EXPECT_EQ(listener.Events().back(), RecordStopped);
    EXPECT_EQ(TestStreams::PlainMp4Problems(Recordings(m_dir.path() / "small").at(0)), "");

    // Live view went on all along.
    const int pictures = target.Pictures();
    EXPECT_TRUE(WaitUntil([&] { return target.Pictures() > pictures + 10; }, 10000));
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);
    std::filesystem::current_path(m_dir.path());
}

// A camera that drops out while the pane is live, talking and recording: the
// pane finalises the recording, ends talk-back, reconnects when the camera is
// back and records on into a new file; a stop while reconnecting ends it.
TEST_F(LiveThreadTest, DroppedCameraIsReconnectedAndTheRecordingGoesOnInANewFile) {
    CountingTarget target; // outlives the pane that draws into it
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener, &target);
    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(3));
    ASSERT_TRUE(WaitUntil([&] { return target.Pictures() >= 30; }, 10000));

    camera.reset(); // the camera goes away
    ASSERT_TRUE(listener.WaitFor(5));
    std::vector<Event> events = listener.Events();
    EXPECT_EQ(std::vector<Event>(events.begin() + 3, events.end()),
              (std::vector<Event>{TalkStopped, LiveReconnecting}));
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);
    EXPECT_EQ(pane.GetTalkState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetRecordState(), PANE_RUNNING);
    EXPECT_FALSE(target.Showing());
    ASSERT_EQ(Recordings().size(), 1u); // finalised at the drop
    EXPECT_EQ(TestStreams::Run("ffmpeg -nostdin -v error -i '" + Recordings()[0].string() + "' -f null - 2>&1"), "");

    StartCamera([](CamSimConfig&) {}, true);
    ASSERT_TRUE(listener.WaitFor(7, 20000));
    events = listener.Events();
    EXPECT_EQ(std::vector<Event>(events.begin() + 5, events.end()), (std::vector<Event>{LiveStarted, RecordStarted}));
    const int drawn = target.Pictures();
    ASSERT_TRUE(WaitUntil([&] { return target.Pictures() >= drawn + 30; }, 10000));
    pane.StopRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(8));
    EXPECT_EQ(Recordings().size(), 2u);

    camera.reset();
    ASSERT_TRUE(listener.WaitFor(9));
    EXPECT_EQ(listener.Events().back(), LiveReconnecting);
    pane.StopLive(&listener);
    ASSERT_TRUE(listener.WaitFor(10));
    EXPECT_EQ(listener.Events().back(), LiveStopped);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
}
