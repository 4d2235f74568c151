// AVModel over the real transport on loopback, against the simulated camera
// and a device whose frames the test sends by hand.
#include "session/AVModel.h"
#include "p2p/Device.h"
#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PTestHooks.h"
#include "platform/NamedMutex.h"
#include "tests/support/CameraStarter.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

using testnet::SecondsSince;
using testnet::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

int32_t SdkUsers() {
    NamedMutex lock("IOTCInitLock");
    std::lock_guard<NamedMutex> guard(lock);
    return AVModel::sdkUsers;
}

// A device whose frames the test sends by hand.
class ScriptedDevice : public DeviceListener {
public:
    ScriptedDevice() : device(*this) {
        device.AddUid(uid, "admin", "531642");
        EXPECT_EQ(device.Start(), 0);
    }
    void OnIOCtrl(int id, uint32_t type, const uint8_t*, size_t) override {
        if (type == 0x01FF)
            videoSession = id;
    }

    std::string uid = testnet::UniqueUid("SCRIPT");
    std::atomic<int> videoSession{-1};
    Device device;
};

class AVModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }
    void TearDown() override {
        EXPECT_EQ(SdkUsers(), 0);
        EXPECT_FALSE(p2p::test::IsInitialised());
    }

    // A camera whose log lines the test can search.
    std::unique_ptr<CamSim> StartCamera(const std::string& uid, const std::function<void(CamSimConfig&)>& change = {}) {
        return testnet::StartCamera({uid}, [&](CamSimConfig& config) {
            config.log = [this](const std::string& line) {
                std::lock_guard<std::mutex> lock(m_logMutex);
                m_log += line + "\n";
            };
            if (change)
                change(config);
        });
    }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_logMutex);
        return m_log.find(text) != std::string::npos;
    }

private:
    std::mutex m_logMutex;
    std::string m_log;
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
    models.resize(1);
    EXPECT_TRUE(p2p::test::IsInitialised());
    EXPECT_EQ(p2p::test::DeInitializeCount(), deinits);
    models.clear();
    EXPECT_EQ(p2p::test::DeInitializeCount(), deinits + 1);
}

TEST_F(AVModelTest, ATransportThatDoesNotStartFailsEveryCall) {
    p2p::test::ForceInitializeResult(P2P_ERR_ALREADY_INITIALISED, 2); // the retry meets -3 again
    {
        AVModel model;
        EXPECT_FALSE(model.sdkReady);
        EXPECT_EQ(SdkUsers(), 0);
        EXPECT_EQ(model.Connect("ANY"), -1);
        EXPECT_EQ(model.Close(), -1);
    }
    p2p::test::ForceInitializeResult(0, 0);
}

TEST_F(AVModelTest, AFailedConnectLeavesNothingOpen) {
    for (bool camera : {false, true}) {
        SCOPED_TRACE(camera ? "wrong password" : "no device holds the UID");
        const std::string uid = testnet::UniqueUid("FAIL");
        auto device = camera ? StartCamera(uid, [](CamSimConfig& c) { c.password = "not-531642"; }) : nullptr;
        AVModel model;
        auto start = Clock::now();
        EXPECT_EQ(model.Connect(uid.c_str()), camera ? P2P_ERR_WRONG_ACCOUNT : P2P_ERR_UID_NOT_FOUND);
        EXPECT_EQ(model.sessionId, -1);
        EXPECT_LT(model.avIndex.load(), 0);
        EXPECT_EQ(p2p::test::SessionCount(), 0);
        EXPECT_EQ(p2p::test::ChannelCount(), 0);
        EXPECT_EQ(model.StartVideo(), -1);
        EXPECT_EQ(model.SendSpeakerData("x", 1), -1);
        EXPECT_EQ(model.Close(), 0); // no channel: no stop to wait for
        EXPECT_LT(SecondsSince(start), 6.0);
        if (camera) { // the password the operator gave opens it
            EXPECT_EQ(model.Connect(uid.c_str(), "not-531642"), 0);
            EXPECT_EQ(model.Close(), 0);
        }
    }
}

// A camera's 720p key frames run to 60-67 KB: no frame the transport carries
// is dropped for its size, and frames keep their order and stamps. A frame
// dropped for a full queue takes the frames after it along, up to the next
// key frame: they could only decode, and be recorded, broken.
TEST_F(AVModelTest, FramesUpToTheTransportsLargestPassInOrderAndALostFrameSkipsToTheNextKeyFrame) {
    ScriptedDevice scripted;
    AVModel model;
    ASSERT_EQ(model.Connect(scripted.uid.c_str()), 0);
    ASSERT_EQ(model.CreateVideoQueue(), 0);
    ASSERT_EQ(model.StartVideo(), 0);
    ASSERT_TRUE(WaitUntil([&] { return scripted.videoSession.load() >= 0; }, 3000));
    const int av = model.avIndex.load();
    uint32_t sent = 0;
    auto send = [&](std::vector<uint8_t> data) {
        p2p::FrameInfo info;
        info.codec = p2p::kCodecH264;
        info.timestamp = 0x11223300 + sent++;
        ASSERT_EQ(scripted.device.SendVideo(scripted.videoSession, info, data.data(), data.size()), 0);
        ASSERT_TRUE(WaitUntil(
            [&] { return p2p::test::ArrivedVideoFrames(av) == sent && p2p::test::PendingVideoFrames(av) == 0; }, 5000));
    };
    // The largest frame, a 67 KB one, then small frames: one more than the queue holds.
    auto size = [](uint32_t i) { return i == 0 ? AVModel::kLargestVideoFrame : (i == 1 ? 67000u : 100 + i); };
    for (uint32_t i = 0; i <= AVModel::kVideoBuffers; ++i)
        send(std::vector<uint8_t>(size(i), static_cast<uint8_t>(i)));
    std::vector<Taken> got = Drain(*model.videoQueue);
    ASSERT_EQ(got.size(), AVModel::kVideoBuffers);
    for (uint32_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].timestamp, 0x11223300 + i);
        EXPECT_EQ(got[i].data.size(), size(i));
        EXPECT_EQ(static_cast<uint32_t>(std::count(got[i].data.begin(), got[i].data.end(), static_cast<uint8_t>(i))),
                  size(i));
    }
    // With room again: two frames that refer to the lost one are skipped.
    const std::vector<uint8_t> slice = {0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x03};
    const std::vector<uint8_t> key = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88};
    for (const auto& frame : {slice, slice, key, slice})
        send(frame);
    got = Drain(*model.videoQueue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, key);
    EXPECT_EQ(got[1].timestamp, 0x11223300 + sent - 1);
}

TEST_F(AVModelTest, TwoModelsViewOneCameraAndOneGoesWhileLive) {
    const std::string uid = testnet::UniqueUid("SHARED");
    auto camera = StartCamera(uid);
    ASSERT_NE(camera, nullptr);
    auto first = std::make_unique<AVModel>();
    AVModel second;
    for (AVModel* model : {first.get(), &second}) {
        ASSERT_EQ(model->Connect(uid.c_str()), 0);
        model->CreateVideoQueue();
        model->CreateAudioQueue();
        ASSERT_EQ(model->StartVideo(), 0);
        ASSERT_EQ(model->StartAudio(), 0);
    }
    // A cancel once connected closes nothing: a live pane that shuts down
    // stops in order, so that its recording is finalised.
    second.CancelConnect();
    size_t firstCount = 0, video = 0, audio = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            firstCount += Drain(*first->videoQueue).size();
            video += Drain(*second.videoQueue).size();
            return firstCount >= 10 && video >= 10;
        },
        10000));
    EXPECT_TRUE(Logged("IOCTRL 255 (2 bytes)"));
    // Destroyed while live: the destructor stops the loops, closes and releases.
    first.reset();
    EXPECT_EQ(SdkUsers(), 1);
    EXPECT_TRUE(WaitUntil(
        [&] {
            video += Drain(*second.videoQueue).size();
            audio += Drain(*second.audioQueue).size();
            return video >= 20 && audio >= 5;
        },
        10000));
    // The pane's stop order; the channel stop is acknowledged at once.
    second.StopAudio();
    second.FreeAudioQueue();
    second.StopVideo();
    second.FreeVideoQueue();
    auto start = Clock::now();
    EXPECT_EQ(second.Close(), 0);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
    EXPECT_TRUE(Logged("channel stop"));
}

TEST_F(AVModelTest, CloseGivesUpOnAnUnansweredStopAfterAboutThreeSeconds) {
    const std::string uid = testnet::UniqueUid("NOACK");
    auto camera = StartCamera(uid, [](CamSimConfig& c) { c.noStopAck = true; });
    auto model = std::make_unique<AVModel>();
    ASSERT_EQ(model->Connect(uid.c_str()), 0);
    auto start = Clock::now();
    EXPECT_EQ(model->Close(), 0);
    double took = SecondsSince(start);
    EXPECT_GT(took, 2.5);
    EXPECT_LT(took, 6.0);
    EXPECT_EQ(model->avIndex.load(), -1);
    EXPECT_EQ(model->sessionId, -1);
    EXPECT_EQ(p2p::test::SessionCount(), 0);
    model.reset(); // the model may go while the stop thread finishes on its own
}

TEST_F(AVModelTest, CameraFaultsEndTheLoopsSilently) {
    // A camera that closes the session, and one that goes silent without closing.
    for (bool vanish : {false, true}) {
        SCOPED_TRACE(vanish ? "vanish" : "close");
        const std::string uid = testnet::UniqueUid("FAULT");
        auto camera =
            StartCamera(uid, [&](CamSimConfig& c) { (vanish ? c.vanishAfterSeconds : c.closeAfterSeconds) = 1; });
        ASSERT_NE(camera, nullptr);
        AVModel model;
        ASSERT_EQ(model.Connect(uid.c_str()), 0);
        model.CreateVideoQueue();
        model.CreateAudioQueue();
        ASSERT_EQ(model.StartVideo(), 0);
        ASSERT_EQ(model.StartAudio(), 0);
        // 1 s until the fault, up to 3 s of silence before the transport gives up.
        EXPECT_TRUE(WaitUntil([&] { return !model.IsVideoLoopRunning() && !model.IsAudioLoopRunning(); }, 10000));
        auto start = Clock::now();
        model.StopAudio();
        model.StopVideo();
        EXPECT_EQ(model.Close(), 0);
        EXPECT_LT(SecondsSince(start), 2.0);
        // The silent camera, too, notices that the client has gone.
        EXPECT_TRUE(WaitUntil([&] { return camera->GetDevice().SessionCount() == 0; }, 3000));
    }
}
