// AVModel over the real transport on loopback, against the simulated camera
// (in process and as a child process) and a scripted device.
#include "AVModel.h"
#include "AacEncoder.h"
#include "CamSim.h"
#include "Device.h"
#include "NamedMutex.h"
#include "P2PApi.h"
#include "P2PErrors.h"
#include "P2PTestHooks.h"
#include "TalkbackWriter.h"
#include "TestNet.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using testnet::SecondsSince;
using testnet::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

int32_t SdkUsers() {
    NamedMutex lock("IOTCInitLock");
    std::lock_guard<NamedMutex> guard(lock);
    return AVModel::sdkUsers;
}

class Log {
public:
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
    }
    bool Contains(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& line : m_lines) {
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// A device whose frames the test sends by hand.
class ScriptedDevice : public DeviceListener {
public:
    ScriptedDevice() : device(*this) {
        uid = testnet::UniqueUid("SCRIPT");
        device.AddUid(uid, "admin", "531642");
        EXPECT_EQ(device.Start(P2PSettings::Current()), 0);
    }
    void OnIOCtrl(int id, uint32_t type, const uint8_t*, size_t) override {
        if (type == 0x01FF)
            videoSession = id;
        if (type == 0x0300)
            audioSession = id;
    }
    void SendVideo(uint32_t timestamp, size_t size) {
        std::vector<uint8_t> data(size, static_cast<uint8_t>(timestamp));
        p2p::FrameInfo info;
        info.codec = p2p::kCodecH264;
        info.timestamp = timestamp;
        ASSERT_EQ(device.SendVideo(videoSession, info, data.data(), data.size()), 0);
    }

    std::string uid;
    std::atomic<int> videoSession{-1};
    std::atomic<int> audioSession{-1};
    Device device;
};

class AVModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }

    void TearDown() override {
        EXPECT_EQ(SdkUsers(), 0);
        EXPECT_FALSE(p2p::test::IsInitialised());
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }

    std::unique_ptr<CamSim> StartCamSim(const std::string& uid, const std::function<void(CamSimConfig&)>& tweak = {}) {
        CamSimConfig config;
        config.uids = {uid};
        config.width = 320;
        config.height = 240;
        config.fps = 25;
        config.settings = P2PSettings::Current();
        config.talkbackDir = Dir();
        config.log = [this](const std::string& line) { log.Add(line); };
        if (tweak)
            tweak(config);
        auto camsim = std::make_unique<CamSim>(config);
        EXPECT_EQ(camsim->Start(), 0);
        return camsim;
    }

    std::string Dir() {
        if (m_dir.empty()) {
            m_dir = (std::filesystem::temp_directory_path() / testnet::UniqueUid("avmodel")).string();
            std::filesystem::create_directories(m_dir);
        }
        return m_dir;
    }

    Log log;

private:
    std::string m_dir;
};

struct Taken {
    uint32_t timestamp;
    std::vector<uint8_t> data;
};

// Takes what is ready, as a decoder does.
std::vector<Taken> Drain(FrameBufferList& queue) {
    std::vector<Taken> out;
    while (FrameBuffer* buf = queue.TakeReady()) {
        out.push_back({buf->GetTimestamp(), std::vector<uint8_t>(buf->GetData(), buf->GetData() + buf->GetLength())});
        queue.Recycle(buf);
    }
    return out;
}

} // namespace

TEST_F(AVModelTest, FourModelsInitialiseOnceAndTheLastShutsDown) {
    int inits = p2p::test::InitializeCount();
    int deinits = p2p::test::DeInitializeCount();
    std::vector<std::unique_ptr<AVModel>> models;
    for (int i = 0; i < 4; ++i)
        models.push_back(std::make_unique<AVModel>());
    for (auto& model : models)
        EXPECT_TRUE(model->sdkReady);
    EXPECT_EQ(SdkUsers(), 4);
    EXPECT_EQ(p2p::test::InitializeCount(), inits + 1);
    for (int i = 0; i < 3; ++i) {
        models.pop_back();
        EXPECT_TRUE(p2p::test::IsInitialised());
    }
    EXPECT_EQ(p2p::test::DeInitializeCount(), deinits);
    models.clear();
    EXPECT_EQ(p2p::test::DeInitializeCount(), deinits + 1);
}

TEST_F(AVModelTest, AlreadyInitialisedIsRetriedOnce) {
    // Someone else left the transport up: the first model shuts it down and starts it again.
    ASSERT_EQ(IOTC_Initialize2(0), 0);
    int inits = p2p::test::InitializeCount();
    {
        AVModel model;
        EXPECT_TRUE(model.sdkReady);
        EXPECT_EQ(SdkUsers(), 1);
        EXPECT_EQ(p2p::test::InitializeCount(), inits + 1);
    }
    // A second -3 leaves the model without the transport and the count unchanged.
    p2p::test::ForceInitializeResult(P2P_ERR_ALREADY_INITIALISED, 2);
    {
        AVModel model;
        EXPECT_FALSE(model.sdkReady);
        EXPECT_EQ(SdkUsers(), 0);
        EXPECT_EQ(model.Connect("ANY"), -1);
        EXPECT_EQ(model.Close(), -1);
    }
    p2p::test::ForceInitializeResult(0, 0);
}

TEST_F(AVModelTest, UnknownUidFailsInBoundedTimeAndLeavesNothingOpen) {
    AVModel model;
    auto start = Clock::now();
    EXPECT_EQ(model.Connect(testnet::UniqueUid("GHOST").c_str()), P2P_ERR_UID_NOT_FOUND);
    EXPECT_LT(SecondsSince(start), 6.0);
    EXPECT_EQ(model.sessionId, -1);
    EXPECT_LT(model.avIndex.load(), 0);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
    EXPECT_EQ(p2p::test::ChannelCount(), 0);
    EXPECT_EQ(model.StartVideo(), -1);
    EXPECT_EQ(model.StartSpeaker(), -1);
    EXPECT_EQ(model.SendSpeakerData("x", 1), -1);
}

TEST_F(AVModelTest, WrongPasswordFailsAndCloseStartsNoStopThread) {
    std::string uid = testnet::UniqueUid("PWD");
    auto camsim = StartCamSim(uid, [](CamSimConfig& c) { c.password = "not-531642"; });
    AVModel model;
    EXPECT_EQ(model.Connect(uid.c_str()), P2P_ERR_WRONG_ACCOUNT);
    EXPECT_EQ(model.avIndex.load(), P2P_ERR_WRONG_ACCOUNT); // negative: no channel
    EXPECT_EQ(model.sessionId, -1);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
    auto start = Clock::now();
    EXPECT_EQ(model.Close(), 0);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_TRUE(log.Contains("channel refused"));
}

TEST_F(AVModelTest, CamSimFramesArriveInOrderWithTimeStamps) {
    std::string uid = testnet::UniqueUid("LIVE");
    auto camsim = StartCamSim(uid);
    AVModel model;
    ASSERT_EQ(model.Connect(uid.c_str()), 0);
    EXPECT_GE(model.avIndex.load(), 0);
    ASSERT_EQ(model.CreateVideoQueue(), 0);
    ASSERT_EQ(model.StartVideo(), 0);
    ASSERT_EQ(model.CreateAudioQueue(), 0);
    ASSERT_EQ(model.StartAudio(), 0);
    std::vector<Taken> video, audio;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (Taken& t : Drain(*model.videoQueue))
                video.push_back(std::move(t));
            for (Taken& t : Drain(*model.audioQueue))
                audio.push_back(std::move(t));
            return video.size() >= 30 && audio.size() >= 8;
        },
        15000));
    // The first frame is an IDR with its SPS and PPS in front.
    ASSERT_GE(video[0].data.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(video[0].data.begin(), video[0].data.begin() + 4),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(video[0].data[4] & 0x1F, 7);
    for (size_t i = 1; i < video.size(); ++i) {
        EXPECT_GT(video[i].timestamp, video[i - 1].timestamp) << i;
        EXPECT_LE(video[i].data.size(), 48000u);
    }
    // 25 fps: about 40 ms apart on average.
    double step = double(video.back().timestamp - video.front().timestamp) / double(video.size() - 1);
    EXPECT_GT(step, 25000);
    EXPECT_LT(step, 100000);
    for (size_t i = 0; i < audio.size(); ++i) {
        const std::vector<uint8_t>& a = audio[i].data;
        ASSERT_GE(a.size(), 7u);
        EXPECT_EQ(a[0], 0xFF);
        EXPECT_EQ(a[1] & 0xF0, 0xF0);
        EXPECT_EQ(((a[3] & 3) << 11) | (a[4] << 3) | (a[5] >> 5), static_cast<int>(a.size()));
        if (i > 0) {
            EXPECT_GT(audio[i].timestamp, audio[i - 1].timestamp);
        }
    }
    EXPECT_TRUE(log.Contains("video started"));
    EXPECT_TRUE(log.Contains("audio started"));
    EXPECT_TRUE(log.Contains("IOCTRL 255 (2 bytes)"));

    // The pane's stop order.
    EXPECT_EQ(model.StopAudio(), 0);
    EXPECT_EQ(model.FreeAudioQueue(), 0);
    EXPECT_EQ(model.StopVideo(), 0);
    EXPECT_EQ(model.FreeVideoQueue(), 0);
    auto start = Clock::now();
    EXPECT_EQ(model.Close(), 0);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("channel stop"); }, 3000));

    // The same model connects again.
    ASSERT_EQ(model.Connect(uid.c_str()), 0);
    ASSERT_EQ(model.CreateVideoQueue(), 0);
    ASSERT_EQ(model.StartVideo(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !Drain(*model.videoQueue).empty(); }, 10000));
    // The destructor stops it all.
}

TEST_F(AVModelTest, FullQueueDropsTheSixteenthAndSizesUpTo48000Pass) {
    ScriptedDevice device;
    AVModel model;
    ASSERT_EQ(model.Connect(device.uid.c_str()), 0);
    int avIndex = model.avIndex.load();
    ASSERT_EQ(model.CreateVideoQueue(), 0);
    ASSERT_EQ(model.StartVideo(), 0);
    ASSERT_TRUE(WaitUntil([&] { return device.videoSession.load() >= 0; }, 3000));
    for (uint32_t i = 0; i < 16; ++i)
        device.SendVideo(i, 1000 + i);
    ASSERT_TRUE(WaitUntil(
        [&] { return p2p::test::ArrivedVideoFrames(avIndex) == 16 && p2p::test::PendingVideoFrames(avIndex) == 0; },
        5000));
    model.StopVideo(); // every frame taken from the transport is now in the queue or dropped
    std::vector<Taken> got = Drain(*model.videoQueue);
    ASSERT_EQ(got.size(), 15u);
    for (uint32_t i = 0; i < 15; ++i) {
        EXPECT_EQ(got[i].timestamp, i);
        EXPECT_EQ(got[i].data.size(), 1000u + i);
        EXPECT_EQ(got[i].data[0], static_cast<uint8_t>(i));
    }

    // A frame of exactly 48000 bytes passes; one byte more is skipped.
    ASSERT_EQ(model.CreateVideoQueue(), 0);
    ASSERT_EQ(model.StartVideo(), 0);
    device.SendVideo(100, 48000);
    device.SendVideo(101, 48001);
    device.SendVideo(102, 10);
    ASSERT_TRUE(WaitUntil(
        [&] { return p2p::test::ArrivedVideoFrames(avIndex) == 19 && p2p::test::PendingVideoFrames(avIndex) == 0; },
        5000));
    model.StopVideo();
    got = Drain(*model.videoQueue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].timestamp, 100u);
    EXPECT_EQ(got[0].data.size(), 48000u);
    EXPECT_EQ(got[1].timestamp, 102u);
    EXPECT_EQ(got[1].data.size(), 10u);
}

TEST_F(AVModelTest, DeviceClosingEndsBothLoopsAndStopIsImmediate) {
    ScriptedDevice device;
    AVModel model;
    ASSERT_EQ(model.Connect(device.uid.c_str()), 0);
    model.CreateVideoQueue();
    model.CreateAudioQueue();
    ASSERT_EQ(model.StartVideo(), 0);
    ASSERT_EQ(model.StartAudio(), 0);
    ASSERT_TRUE(WaitUntil([&] { return device.audioSession.load() >= 0; }, 3000));
    ASSERT_TRUE(WaitUntil([&] { return model.IsVideoLoopRunning() && model.IsAudioLoopRunning(); }, 3000));
    device.device.CloseSession(device.videoSession.load());
    EXPECT_TRUE(WaitUntil([&] { return !model.IsVideoLoopRunning() && !model.IsAudioLoopRunning(); }, 5000));
    auto start = Clock::now();
    model.StopAudio();
    model.FreeAudioQueue();
    model.StopVideo();
    model.FreeVideoQueue();
    EXPECT_LT(SecondsSince(start), 2.0);
    start = Clock::now();
    EXPECT_EQ(model.Close(), 0);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
}

TEST_F(AVModelTest, CloseGivesUpOnAnUnansweredStopAfterAboutThreeSeconds) {
    std::string uid = testnet::UniqueUid("NOACK");
    auto camsim = StartCamSim(uid, [](CamSimConfig& c) { c.noStopAck = true; });
    auto model = std::make_unique<AVModel>();
    ASSERT_EQ(model->Connect(uid.c_str()), 0);
    model->CreateVideoQueue();
    ASSERT_EQ(model->StartVideo(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !Drain(*model->videoQueue).empty(); }, 10000));
    model->StopVideo();
    model->FreeVideoQueue();
    auto start = Clock::now();
    EXPECT_EQ(model->Close(), 0);
    double took = SecondsSince(start);
    EXPECT_GT(took, 2.5);
    EXPECT_LT(took, 6.0);
    EXPECT_EQ(model->avIndex.load(), -1);
    EXPECT_EQ(model->sessionId, -1);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
    // The model may go while the stop thread finishes on its own.
    model.reset();
    EXPECT_TRUE(log.Contains("not acknowledged"));
}

TEST_F(AVModelTest, CameraFaultsEndTheLoopsSilently) {
    // A camera that closes the session, and one that goes silent without closing.
    for (bool vanish : {false, true}) {
        SCOPED_TRACE(vanish ? "vanish" : "close");
        std::string uid = testnet::UniqueUid("FAULT");
        auto camsim = StartCamSim(uid, [&](CamSimConfig& c) {
            if (vanish)
                c.vanishAfterSeconds = 1;
            else
                c.closeAfterSeconds = 1;
        });
        AVModel model;
        ASSERT_EQ(model.Connect(uid.c_str()), 0);
        model.CreateVideoQueue();
        model.CreateAudioQueue();
        ASSERT_EQ(model.StartVideo(), 0);
        ASSERT_EQ(model.StartAudio(), 0);
        // 1 s until the fault, up to 3 s of silence before the transport gives up.
        EXPECT_TRUE(WaitUntil([&] { return !model.IsVideoLoopRunning() && !model.IsAudioLoopRunning(); }, 10000));
        EXPECT_TRUE(log.Contains(vanish ? "vanishes" : "closed by the device"));
        auto start = Clock::now();
        model.StopAudio();
        model.StopVideo();
        EXPECT_EQ(model.Close(), 0);
        EXPECT_LT(SecondsSince(start), 2.0);
    }
}

TEST_F(AVModelTest, TalkBackIsSavedAsPlayableAdts) {
    std::string uid = testnet::UniqueUid("TALK");
    auto camsim = StartCamSim(uid);
    AVModel model;
    ASSERT_EQ(model.Connect(uid.c_str()), 0);
    ASSERT_EQ(model.StartSpeaker(), 0);

    // Real AAC frames, wrapped as talk-back records, four to a batch.
    AacEncoder encoder;
    ASSERT_EQ(encoder.Open(), 0);
    std::vector<std::vector<uint8_t>> frames;
    while (frames.size() < 40) {
        std::vector<std::vector<uint8_t>> out;
        ASSERT_EQ(encoder.EncodeNext(out), 0);
        for (auto& f : out)
            frames.emplace_back(f.begin() + 7, f.end()); // without the encoder's header
    }
    frames.resize(40);
    auto record = [](uint32_t sequence, const std::vector<uint8_t>& aac, std::vector<uint8_t>& batch) {
        uint32_t L = static_cast<uint32_t>(aac.size() + 7);
        for (int i = 0; i < 4; ++i)
            batch.push_back(static_cast<uint8_t>(sequence >> (8 * i)));
        for (int i = 0; i < 4; ++i)
            batch.push_back(static_cast<uint8_t>(L >> (8 * i)));
        uint8_t header[7];
        TalkbackWriter::ExpectedHeader(L, header);
        batch.insert(batch.end(), header, header + 7);
        batch.insert(batch.end(), aac.begin(), aac.end());
    };
    for (uint32_t b = 0; b < 10; ++b) {
        std::vector<uint8_t> batch;
        for (uint32_t r = 0; r < 4; ++r)
            record(b * 4 + r + 1, frames[b * 4 + r], batch);
        ASSERT_EQ(model.SendSpeakerData(batch.data(), static_cast<int>(batch.size())), 0);
    }
    ASSERT_EQ(model.StopSpeaker(), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("talk-back stopped: 40 records"); }, 5000));
    EXPECT_EQ(camsim->GetTalkbackFaults(), 0);
    std::vector<std::string> files = camsim->GetTalkbackFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(files[0]).filename().string(), "talkback-" + uid + "-1.aac");

    std::string command = "ffprobe -v error -count_packets -show_entries "
                          "stream=codec_name,sample_rate,channels,nb_read_packets -of default=nw=1 '" +
                          files[0] + "'";
    FILE* probe = popen(command.c_str(), "r");
    ASSERT_NE(probe, nullptr);
    std::string output;
    char line[256];
    while (std::fgets(line, sizeof line, probe) != nullptr)
        output += line;
    EXPECT_EQ(pclose(probe), 0);
    EXPECT_NE(output.find("codec_name=aac"), std::string::npos) << output;
    EXPECT_NE(output.find("sample_rate=8000"), std::string::npos) << output;
    EXPECT_NE(output.find("channels=1"), std::string::npos) << output;
    EXPECT_NE(output.find("nb_read_packets=40"), std::string::npos) << output;

    // Faulty records are logged and skipped; the camera keeps going.
    ASSERT_EQ(model.StartSpeaker(), 0);
    std::vector<uint8_t> bad;
    record(1, frames[0], bad);
    record(5, frames[1], bad); // sequence gap
    record(6, frames[2], bad);
    bad[bad.size() - frames[2].size() - 1] ^= 0xFF; // last header byte of record 6 wrong
    bad.push_back(0x42);                            // a truncated tail
    ASSERT_EQ(model.SendSpeakerData(bad.data(), static_cast<int>(bad.size())), 0);
    ASSERT_TRUE(WaitUntil([&] { return camsim->GetTalkbackFaults() >= 3; }, 5000));
    EXPECT_EQ(camsim->GetTalkbackFaults(), 3);
    std::vector<uint8_t> good;
    record(7, frames[3], good);
    ASSERT_EQ(model.SendSpeakerData(good.data(), static_cast<int>(good.size())), 0);
    ASSERT_EQ(model.StopSpeaker(), 0);
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("talk-back stopped: 4 records"); }, 5000));
    EXPECT_EQ(camsim->GetTalkbackFiles().size(), 2u);
}

TEST_F(AVModelTest, TwoModelsViewOneCameraAndGoWhileLive) {
    std::string uid = testnet::UniqueUid("SHARED");
    auto camsim = StartCamSim(uid);
    auto first = std::make_unique<AVModel>();
    auto second = std::make_unique<AVModel>();
    for (AVModel* model : {first.get(), second.get()}) {
        ASSERT_EQ(model->Connect(uid.c_str()), 0);
        model->CreateVideoQueue();
        model->CreateAudioQueue();
        ASSERT_EQ(model->StartVideo(), 0);
        ASSERT_EQ(model->StartAudio(), 0);
    }
    size_t firstCount = 0, secondCount = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            firstCount += Drain(*first->videoQueue).size();
            secondCount += Drain(*second->videoQueue).size();
            return firstCount >= 10 && secondCount >= 10;
        },
        10000));
    // Destroyed while live: the destructor stops the loops, closes and releases.
    first.reset();
    EXPECT_EQ(SdkUsers(), 1);
    size_t more = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            more += Drain(*second->videoQueue).size();
            return more >= 5;
        },
        10000));
    second.reset();
}

TEST_F(AVModelTest, CamSimAsAChildProcess) {
    std::string binary = std::string(VANTOR_BINARY_DIR) + "/tools/camsim/vantor-camsim";
    ASSERT_TRUE(std::filesystem::exists(binary)) << binary;
    std::string uid = testnet::UniqueUid("CHILD");
    std::string dir = Dir();
    std::vector<std::string> args = {binary, "--uid", uid, "--size", "320x240", "--fps", "15", "--talkback-dir", dir};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string logPath = dir + "/camsim.log";
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    {
        AVModel model;
        int r = -1;
        ASSERT_TRUE(WaitUntil([&] { return (r = model.Connect(uid.c_str())) == 0; }, 15000)) << r;
        model.CreateVideoQueue();
        ASSERT_EQ(model.StartVideo(), 0);
        size_t count = 0;
        EXPECT_TRUE(WaitUntil(
            [&] {
                count += Drain(*model.videoQueue).size();
                return count >= 5;
            },
            10000));
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    bool exited = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::FILE* f = std::fopen(logPath.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr)
        text += line;
    std::fclose(f);
    EXPECT_NE(text.find("serving UID " + uid), std::string::npos) << text;
    EXPECT_NE(text.find("video started"), std::string::npos) << text;
    EXPECT_NE(text.find("stopped"), std::string::npos) << text;
}
