// LiveThread against the simulated camera over loopback: the request
// operations, the order of reports, and shutting down with work in flight.
#include "LiveThread.h"
#include "CamSim.h"
#include "RenderTarget.h"
#include "TestNet.h"
#include "TestStreams.h"
#include "WaveInTestFiles.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
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

        uid = testnet::UniqueUid("LIVE");
        CamSimConfig config;
        config.uids = {uid};
        config.width = 320;
        config.height = 240;
        config.settings = P2PSettings::Current();
        config.talkbackDir = m_dir.path().string();
        config.log = [](const std::string&) {};
        cameraConfig = config;
        RestartCamera();
    }
    void TearDown() override {
        camera.reset();
        std::filesystem::current_path(m_oldDir);
    }

    // The camera for `uid`, started anew (after the test stopped it).
    void RestartCamera() {
        camera = std::make_unique<CamSim>(cameraConfig);
        ASSERT_EQ(camera->Start(), 0);
    }

    // Starts live view on a started pane thread and waits for the report.
    void GoLive(LiveThread& pane, RecordingListener& listener) {
        ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
        ASSERT_TRUE(listener.WaitFor(1));
        ASSERT_EQ(listener.Events().back(), LiveStarted);
        ASSERT_EQ(pane.GetLiveState(), PANE_RUNNING);
    }

    std::vector<std::filesystem::path> Recordings() {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            if (entry.path().filename().string().rfind("LiveVideo-", 0) == 0)
                found.push_back(entry.path());
        return found;
    }

    TempDir m_dir;
    std::filesystem::path m_oldDir;
    std::string uid;
    CamSimConfig cameraConfig;
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
    ASSERT_TRUE(pane.CreateThread());
    GoLive(pane, listener);

    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(3));
    EXPECT_EQ(pane.GetTalkState(), PANE_RUNNING);
    EXPECT_EQ(pane.GetRecordState(), PANE_RUNNING);
    ASSERT_TRUE(WaitUntil([&] { return camera->GetTalkbackRecords() >= 4; }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(2)); // let the recording hold a few key frames

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
    std::string streams =
        TestStreams::Run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + files[0].string() + "'");
    EXPECT_NE(streams.find("h264"), std::string::npos);
    EXPECT_NE(streams.find("aac"), std::string::npos);
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
    ASSERT_TRUE(pane.CreateThread());
    GoLive(pane, listener);

    pane.StartRecord(&listener);
    ASSERT_TRUE(listener.WaitFor(2));
    std::this_thread::sleep_for(std::chrono::seconds(3));
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
        ASSERT_TRUE(pane.CreateThread());
        GoLive(pane, listener);
        pane.StartRecord(&listener);
        ASSERT_TRUE(listener.WaitFor(2));
        std::this_thread::sleep_for(std::chrono::seconds(3));
    } // destroyed while live and recording
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    int status = 0;
    std::string errors =
        TestStreams::Run("ffmpeg -nostdin -v error -i '" + files[0].string() + "' -f null - 2>&1", &status);
    EXPECT_EQ(status, 0) << errors;
    EXPECT_EQ(listener.Events(), (std::vector<Event>{LiveStarted, RecordStarted}));
}

// A camera that drops out while the pane is live, talking and recording: the
// pane finalises the recording, ends talk-back, reconnects when the camera is
// back and records on into a new file; a stop while reconnecting ends it.
TEST_F(LiveThreadTest, DroppedCameraIsReconnectedAndTheRecordingGoesOnInANewFile) {
    LiveThread pane;
    CountingTarget target;
    RecordingListener listener;
    pane.SetRenderWindow(&target);
    ASSERT_TRUE(pane.CreateThread());
    GoLive(pane, listener);
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

    RestartCamera();
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
