// LiveThread against the simulated camera over loopback: the request
// operations, the order of reports, recordings made through the pane, and
// shutting down or losing the camera with work in flight.
#include "live/LiveThread.h"
#include "media/FileSync.h"
#include "p2p/Device.h"
#include "p2p/P2PSettings.h"
#include "tests/support/CameraStarter.h"
#include "tests/support/RecordingTarget.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"
#include "tests/support/TestStreams.h"

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
using namespace std::chrono_literals;
namespace fs = std::filesystem;

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
    // The index-th report's event, once it has come; -1 when it does not come.
    int At(size_t index, int timeoutMs = 15000) {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return m_reports.size() > index; }))
            return -1;
        return m_reports[index].event;
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

class LiveThreadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }
    void SetUp() override {
        m_oldDir = fs::current_path();
        fs::current_path(m_dir.path()); // recordings and talk-back go to the current folder
        WriteFile(m_dir.path() / "mic.raw", ToneU8(500, 10));
        UseCaptureFile(m_dir.path() / "mic.raw");
        setenv("SDL_DISKAUDIOFILE", (m_dir.path() / "speaker.raw").c_str(), 1);
        StartCamera();
    }
    void TearDown() override {
        FileSync::SetProbe({});
        P2PSettings::Set(m_settings);
        camera.reset();
        fs::current_path(m_oldDir);
    }
    // (Re)starts the camera that holds `uid`, 320x240 unless `change` says otherwise.
    void StartCamera(const std::function<void(CamSimConfig&)>& change = {}) {
        camera.reset();
        camera = testnet::StartCamera({uid}, change);
        ASSERT_NE(camera, nullptr);
    }
    // Starts the pane thread and live view (drawn into target) and waits for the report.
    void GoLive(LiveThread& pane, RecordingListener& listener, RecordingTarget* target = nullptr) {
        if (target)
            pane.SetRenderWindow(target);
        ASSERT_TRUE(pane.CreateThread());
        ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
        ASSERT_EQ(listener.At(0), LiveStarted);
        ASSERT_EQ(pane.GetLiveState(), PANE_RUNNING);
    }
    // The recordings in a folder, oldest first.
    std::vector<fs::path> Recordings(const fs::path& folder = ".") {
        std::vector<fs::path> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            if (entry.path().filename().string().rfind("LiveVideo-", 0) == 0)
                found.push_back(entry.path());
        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return fs::last_write_time(a) < fs::last_write_time(b); });
        return found;
    }
    // Waits until the folder holds `count` recordings and the newest holds its first fragment.
    bool WaitForFragment(const fs::path& folder = ".", size_t count = 1) {
        return WaitUntil(
            [&] {
                auto files = Recordings(folder);
                std::error_code ec;
                return files.size() >= count && fs::file_size(files.back(), ec) > 0;
            },
            10000);
    }

    TempDir m_dir;
    fs::path m_oldDir;
    P2PSettings m_settings = P2PSettings::Current();
    std::string uid = testnet::UniqueUid("LIVE");
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

TEST_F(LiveThreadTest, APostThatCannotBeQueuedPutsTheStateBack) {
    LiveThread pane; // its thread never started: every post fails
    RecordingListener listener;
    EXPECT_EQ(pane.StartLive(uid, true, &listener), -1);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
    EXPECT_EQ(listener.At(0, 0), LiveFailed);
}

TEST_F(LiveThreadTest, AnUnreachableDeviceFailsThenLiveViewStartsOnceDrawsPicturesAndStops) {
    LiveThread pane;
    RecordingTarget target;
    RecordingListener listener;
    pane.SetRenderWindow(&target);
    ASSERT_TRUE(pane.CreateThread());
    ASSERT_EQ(pane.StartLive(testnet::UniqueUid("NOBODY"), true, &listener), 0);
    EXPECT_EQ(listener.At(0), LiveFailed);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);

    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
    EXPECT_EQ(pane.GetLiveState(), PANE_SWITCHING);
    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0); // switching: nothing posted
    ASSERT_EQ(listener.At(1), LiveStarted);
    EXPECT_NE(listener.Reports()[1].caller, std::this_thread::get_id());
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);

    RecordingTarget other;
    pane.SetRenderWindow(&other); // while live: ignored
    ASSERT_TRUE(WaitUntil([&] { return target.Calls() >= 10; }, 10000));
    EXPECT_EQ(target.LastSize(), std::make_pair(320, 240));
    EXPECT_EQ(other.Calls(), 0);
    EXPECT_TRUE(target.Showing());

    ASSERT_EQ(pane.StopLive(&listener), 0);
    EXPECT_EQ(listener.At(2), LiveStopped);
    EXPECT_EQ(listener.Reports().size(), 3u); // the second start posted nothing
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
    EXPECT_FALSE(target.Showing()); // no stale picture after the stop
}

TEST_F(LiveThreadTest, TalkAndRecordReportTheirOwnStopsAndALiveStopEndsBoth) {
    LiveThread pane;
    RecordingListener listener;
    GoLive(pane, listener);
    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(1), TalkStarted);
    EXPECT_EQ(listener.At(2), RecordStarted);
    pane.StopRecord(&listener);
    pane.StopTalk(&listener);
    EXPECT_EQ(listener.At(3), RecordStopped);
    EXPECT_EQ(listener.At(4), TalkStopped);
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);

    // Talking and recording again: stopping live view ends both and reports only the live stop.
    const int records = camera->GetTalkbackRecords();
    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(6), RecordStarted);
    EXPECT_EQ(pane.GetTalkState(), PANE_RUNNING);
    EXPECT_EQ(pane.GetRecordState(), PANE_RUNNING);
    ASSERT_TRUE(WaitUntil([&] { return camera->GetTalkbackRecords() >= records + 4; }, 10000));
    ASSERT_TRUE(WaitForFragment());
    pane.StopLive(&listener);
    EXPECT_EQ(listener.At(7), LiveStopped);
    EXPECT_EQ(listener.Reports().size(), 8u);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetTalkState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);

    const std::string file = Recordings().back().string();
    EXPECT_EQ(TestStreams::PlainMp4Problems(file), "");
    EXPECT_EQ(TestStreams::Run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + file + "'"),
              "h264\naac\n");
    EXPECT_EQ(camera->GetTalkbackFaults(), 0);
}

TEST_F(LiveThreadTest, ShutdownWhileRecordingFinalisesAPlayableFile) {
    RecordingListener listener;
    {
        LiveThread pane;
        GoLive(pane, listener);
        pane.StartRecord(&listener);
        ASSERT_EQ(listener.At(1), RecordStarted);
        ASSERT_TRUE(WaitForFragment());
    } // destroyed while live and recording
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(TestStreams::PlainMp4Problems(files[0]), "");
    EXPECT_EQ(listener.Reports().size(), 2u);
}

// A recording whose file cannot be put on the disk (its sync fails) is
// reported as failed whichever way it ends (the record button always
// reported it): a live stop, the camera dropping out (the recording does not
// resume), shutting down.
TEST_F(LiveThreadTest, AFinalisationFailureIsReportedOnEveryPath) {
    FileSync::SetProbe([](FileSync::Step step, int) { return step != FileSync::kData; }); // until TearDown
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener);
    auto record = [&](size_t at) {
        const size_t files = Recordings().size();
        pane.StartRecord(&listener);
        ASSERT_EQ(listener.At(at), RecordStarted);
        ASSERT_TRUE(WaitForFragment(".", files + 1));
    };
    record(1);
    pane.StopLive(&listener);
    EXPECT_EQ(listener.At(2), LiveStopped);
    EXPECT_EQ(listener.At(3), RecordFailed);

    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
    ASSERT_EQ(listener.At(4), LiveStarted);
    record(5);
    camera.reset();
    EXPECT_EQ(listener.At(6), RecordFailed);
    EXPECT_EQ(listener.At(7), LiveReconnecting);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);
    StartCamera();
    EXPECT_EQ(listener.At(8, 20000), LiveStarted);

    record(9);
    EXPECT_FALSE(pane.Shutdown());
    EXPECT_EQ(pane.GetRecordingName(), Recordings().back().filename().string());
    EXPECT_EQ(listener.Reports().size(), 10u);
    for (const auto& file : Recordings())
        EXPECT_EQ(TestStreams::DecodeErrors(file), "") << file;
}

// A stop or a close during a connect cancels it: a start to a camera that
// is not there, a reconnect to a camera that is back (the stop must still
// win, with no stray start or recording), and a close while reconnecting to
// a camera that is gone, with a search far longer than any test waits.
TEST_F(LiveThreadTest, StopAndShutdownCancelAConnectInProgress) {
    P2PSettings longSearch = m_settings; // until TearDown
    longSearch.searchTimeoutMs = 600000;
    P2PSettings::Set(longSearch);
    RecordingListener listener;
    LiveThread pane;
    ASSERT_TRUE(pane.CreateThread());
    ASSERT_EQ(pane.StartLive(testnet::UniqueUid("NOBODY"), true, &listener), 0);
    ASSERT_TRUE(WaitUntil([&] { return pane.IsConnecting(); }, 10000));
    pane.StopLive(&listener);
    EXPECT_EQ(listener.At(0), LiveStopped);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);

    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
    ASSERT_EQ(listener.At(1), LiveStarted);
    pane.StartRecord(&listener);
    ASSERT_EQ(listener.At(2), RecordStarted);
    ASSERT_TRUE(WaitForFragment());
    camera.reset();
    ASSERT_EQ(listener.At(3), LiveReconnecting);
    ASSERT_TRUE(WaitUntil([&] { return pane.IsConnecting(); }, 10000));
    StartCamera(); // the search finds it: the stop comes during or right after the connect
    size_t stopAt = listener.Reports().size();
    pane.StopLive(&listener);
    EXPECT_EQ(listener.At(stopAt), LiveStopped);
    pane.StartTalk(&listener); // refused at once: nothing came in between
    EXPECT_EQ(listener.At(stopAt + 1), TalkFailed);

    ASSERT_EQ(pane.StartLive(uid, true, &listener), 0);
    ASSERT_EQ(listener.At(stopAt + 2), LiveStarted);
    pane.StartRecord(&listener);
    ASSERT_EQ(listener.At(stopAt + 3), RecordStarted);
    ASSERT_TRUE(WaitForFragment(".", 2));
    camera.reset();
    ASSERT_EQ(listener.At(stopAt + 4), LiveReconnecting);
    ASSERT_TRUE(WaitUntil([&] { return pane.IsConnecting(); }, 10000));
    EXPECT_TRUE(pane.Shutdown());
    EXPECT_EQ(listener.Reports().size(), stopAt + 5);
    ASSERT_EQ(Recordings().size(), 2u);
    EXPECT_EQ(TestStreams::PlainMp4Problems(Recordings().back()), "");
}

// Cameras that connect but show no picture: the pane drops them after
// kSilenceMs, whether frames come or not, and reconnects; a recording waits
// for a picture, so no file is made and removed at every attempt.
class SilentCameraTest : public LiveThreadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SilentCameraTest, IsDroppedAndRecordsNothing) {
    struct Scripted : DeviceListener {
        Scripted() : device(*this) { device.AddUid(uid, "admin", "531642"); }
        void OnIOCtrl(int id, uint32_t type, const uint8_t*, size_t) override {
            if (type == 0x01FF)
                session = id;
        }
        std::string uid = testnet::UniqueUid("SILENT");
        std::atomic<int> session{-1};
        Device device;
    } scripted;
    ASSERT_EQ(scripted.device.Start(), 0);
    std::jthread sender([&](std::stop_token stop) { // IDR slices without parameter sets: nothing decodes
        const uint8_t slice[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0xA0, 0x5F, 0x12, 0x34};
        p2p::FrameInfo info;
        info.codec = p2p::kCodecH264;
        for (; !stop.stop_requested(); info.timestamp += 40000, std::this_thread::sleep_for(40ms))
            if (GetParam() && scripted.session >= 0)
                scripted.device.SendVideo(scripted.session, info, slice, sizeof slice);
    });
    RecordingListener listener;
    LiveThread pane;
    ASSERT_TRUE(pane.CreateThread());
    ASSERT_EQ(pane.StartLive(scripted.uid, true, &listener), 0);
    ASSERT_EQ(listener.At(0), LiveStarted);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(1), RecordStarted);
    EXPECT_EQ(listener.At(2), LiveReconnecting);
    EXPECT_EQ(listener.At(3), LiveStarted);
    EXPECT_EQ(listener.At(4), LiveReconnecting);
    EXPECT_TRUE(Recordings().empty());
    EXPECT_EQ(pane.GetRecordState(), PANE_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Cameras, SilentCameraTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "SendsFramesThatNeverDecode" : "SendsNothing");
});

// A camera whose stream the pane records.
struct RecordingCase {
    const char* name;
    std::function<void(CamSimConfig&)> camera;
    size_t files;
    std::pair<int, int> lastSize;
    bool beepMarker;
};

const RecordingCase kRecordingCases[] = {
    // The test picture, switching size 3 s in: the file ends and the
    // recording goes on in a new one.
    {"TestPictureThatChangesSize",
     [](CamSimConfig& c) {
         c.resizeAfterSeconds = 3;
         c.resizeWidth = 480;
         c.resizeHeight = 272;
     },
     2,
     {480, 272},
     true},
    // A 720p camera at 8 Mbit/s, Main profile with B-frames (the recorder's
    // own tests cover their timing): key frames of 55-62 KB, each shown and recorded.
    {"KeyFramesLargerThan48000Bytes",
     [](CamSimConfig& c) {
         c.source = (fs::current_path() / "k720.mp4").string();
         TestStreams::Run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1280x720:rate=25 -t 2 -pix_fmt yuv420p "
                          "-c:v libx264 -profile:v main -bf 2 -g 25 -b:v 8M -maxrate 8M -bufsize 4M '" +
                          c.source + "'");
     },
     1,
     {1280, 720},
     false},
};

class PaneRecordingTest : public LiveThreadTest, public ::testing::WithParamInterface<RecordingCase> {};

// Recorded through the real pane: every file is a plain MP4 that decodes
// cleanly, and where the camera marks its beep, the white square appears
// within 40 ms of the beep's start.
TEST_P(PaneRecordingTest, EveryFileIsAPlainMp4WithSoundInStepWithThePicture) {
    const RecordingCase& c = GetParam();
    StartCamera(c.camera);
    RecordingTarget target; // outlives the pane that draws into it
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener, &target);
    pane.StartRecord(&listener);
    ASSERT_EQ(listener.At(1), RecordStarted);
    // 2.5 s of pictures of the last size.
    ASSERT_TRUE(WaitUntil([&] { return target.LastSize() == c.lastSize; }, 20000));
    const int from = target.Calls();
    ASSERT_TRUE(WaitUntil([&] { return target.Calls() >= from + 63; }, 20000));
    pane.StopRecord(&listener);
    EXPECT_EQ(listener.At(2), RecordStopped);

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
    SmallDisk(const fs::path& path, const char* size) : m_path(path) {
        fs::create_directories(path);
        m_mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~SmallDisk() {
        if (m_mounted)
            umount2(m_path.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }

private:
    fs::path m_path;
    bool m_mounted = false;
};

// A recording whose folder disappears, or whose disk fills up, reports
// OnRecordFailed and stops; live view goes on, what was written plays, and
// the record button starts a new recording.
TEST_F(LiveThreadTest, FailedWritesReportRecordFailedAndLiveViewGoesOn) {
    const fs::path gone = m_dir.path() / "gone", small = m_dir.path() / "small";
    SmallDisk disk(small, "64k");
    if (!disk.Mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    RecordingTarget target; // outlives the pane that draws into it
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener, &target);

    // The folder is removed while recording; starting again there fails at once.
    fs::create_directories(gone);
    fs::current_path(gone);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(1), RecordStarted);
    ASSERT_TRUE(WaitForFragment(gone));
    fs::remove_all(gone);
    EXPECT_EQ(listener.At(2), RecordFailed);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(3), RecordFailed);

    // The disk fills up: what fitted is finalised and plays.
    fs::current_path(small);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(4), RecordStarted);
    EXPECT_EQ(listener.At(5), RecordFailed);
    EXPECT_EQ(pane.GetRecordState(), PANE_STOPPED);
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(TestStreams::DecodeErrors(files[0]), "");
    EXPECT_FALSE(TestStreams::ReadPackets(files[0]).empty());
    // With room again, the next recording works.
    fs::remove(files[0]);
    pane.StartRecord(&listener);
    EXPECT_EQ(listener.At(6), RecordStarted);
    ASSERT_TRUE(WaitForFragment());
    pane.StopRecord(&listener);
    EXPECT_EQ(listener.At(7), RecordStopped);
    EXPECT_EQ(TestStreams::PlainMp4Problems(Recordings().at(0)), "");

    // Live view went on all along.
    const int pictures = target.Calls();
    EXPECT_TRUE(WaitUntil([&] { return target.Calls() > pictures + 10; }, 10000));
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);
    fs::current_path(m_dir.path());
}

// A camera that drops out while the pane is live, talking and recording: the
// pane finalises the recording, ends talk-back, reconnects when the camera is
// back and records on into a new file; a stop while reconnecting ends it.
TEST_F(LiveThreadTest, DroppedCameraIsReconnectedAndTheRecordingGoesOnInANewFile) {
    RecordingTarget target; // outlives the pane that draws into it
    RecordingListener listener;
    LiveThread pane;
    GoLive(pane, listener, &target);
    pane.StartTalk(&listener);
    pane.StartRecord(&listener);
    ASSERT_EQ(listener.At(2), RecordStarted);
    ASSERT_TRUE(WaitUntil([&] { return target.Calls() >= 30; }, 10000));

    camera.reset(); // the camera goes away
    EXPECT_EQ(listener.At(3), TalkStopped);
    EXPECT_EQ(listener.At(4), LiveReconnecting);
    EXPECT_EQ(pane.GetLiveState(), PANE_RUNNING);
    EXPECT_EQ(pane.GetTalkState(), PANE_STOPPED);
    EXPECT_EQ(pane.GetRecordState(), PANE_RUNNING);
    EXPECT_FALSE(target.Showing());
    ASSERT_EQ(Recordings().size(), 1u); // finalised at the drop
    EXPECT_EQ(TestStreams::DecodeErrors(Recordings()[0]), "");

    StartCamera(); // the same device is back
    EXPECT_EQ(listener.At(5, 20000), LiveStarted);
    EXPECT_EQ(listener.At(6), RecordStarted);
    const int drawn = target.Calls();
    ASSERT_TRUE(WaitUntil([&] { return target.Calls() >= drawn + 30; }, 10000));
    pane.StopRecord(&listener);
    EXPECT_EQ(listener.At(7), RecordStopped);
    EXPECT_EQ(Recordings().size(), 2u);

    camera.reset();
    EXPECT_EQ(listener.At(8), LiveReconnecting);
    pane.StopLive(&listener);
    EXPECT_EQ(listener.At(9), LiveStopped);
    EXPECT_EQ(pane.GetLiveState(), PANE_STOPPED);
}
