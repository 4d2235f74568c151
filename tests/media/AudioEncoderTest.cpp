// Talk-back over the real transport on loopback: the encoder's records reach
// a simulated camera, which checks every record (sequence numbers from 1 in
// each talk, ADTS headers that match their lengths) and saves each talk's
// sound; ffmpeg decodes it back to samples that must still carry the tone.

#include "media/AudioEncoder.h"
#include "media/Speaker.h"
#include "session/AVModel.h"
#include "tests/support/FrameFeeder.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"
#include "tests/support/TestStreams.h"
#include "tools/camsim/CamSim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t kTalkStart = 0x0350, kTalkStop = 0x0351, kTalkData = 0x0352;

// The camera also notes the type of every talk-back message, in order, once
// it has handled it.
class TalkCamera : public CamSim {
public:
    explicit TalkCamera(const CamSimConfig& config) : CamSim(config) {}
    ~TalkCamera() override { Stop(); }

    void OnIOCtrl(int session, uint32_t type, const uint8_t* payload, size_t length) override {
        CamSim::OnIOCtrl(session, type, payload, length);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (type >= kTalkStart && type <= kTalkData)
            m_types.push_back(type);
        m_changed.notify_all();
    }
    // Waits at most 30 s until `count` messages of `type` have come.
    bool WaitFor(uint32_t type, long count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return std::count(m_types.begin(), m_types.end(), type) >= count; });
    }
    std::vector<uint32_t> Types() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_types;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<uint32_t> m_types;
};

// Relative power of one frequency in samples [from, to) at 8000 Hz (Goertzel).
double Power(const std::vector<int16_t>& s, size_t from, size_t to, double frequency) {
    const double coeff = 2 * std::cos(2 * M_PI * frequency / 8000.0);
    double q1 = 0, q2 = 0;
    for (size_t i = from; i < to; ++i) {
        double q0 = coeff * q1 - q2 + s[i];
        q2 = q1;
        q1 = q0;
    }
    return (q1 * q1 + q2 * q2 - coeff * q1 * q2) / static_cast<double>(to - from);
}

// The talk saved in `file` decodes to at least `blocks` blocks of 1024
// samples that, past the encoder's start-up, are a loud, clean tone.
void ExpectTone(const std::string& file, double frequency, size_t blocks) {
    int status = -1;
    TestStreams::Run("ffmpeg -nostdin -v error -y -f aac -i '" + file + "' -f s16le -ac 1 -ar 8000 '" + file + ".raw'",
                     &status);
    ASSERT_EQ(status, 0);
    const std::vector<int16_t> s = ReadS16(file + ".raw");
    ASSERT_GE(s.size(), blocks * 1024);
    const size_t from = 2048, to = (blocks - 2) * 1024;
    double crossings = 0, energy = 0;
    for (size_t i = from; i < to; ++i) {
        crossings += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
        energy += static_cast<double>(s[i]) * s[i];
    }
    EXPECT_NEAR(crossings / 2.0 / ((to - from) / 8000.0), frequency, frequency * 0.03) << file;
    EXPECT_GT(std::sqrt(energy / static_cast<double>(to - from)), 5000.0) << file;
    EXPECT_GT(Power(s, from, to, frequency), 20 * Power(s, from, to, frequency * 1.5)) << file;
    EXPECT_GT(Power(s, from, to, frequency), 20 * Power(s, from, to, frequency / 1.5)) << file;
}

// The next 1024-sample block of a 440 Hz tone, 8-bit unsigned or 16-bit
// little-endian, as the microphone gives it.
std::vector<uint8_t> ToneBlock(int bits, uint64_t& n) {
    std::vector<uint8_t> block;
    for (int i = 0; i < 1024; ++i) {
        const double v = std::sin(2 * M_PI * 440 * static_cast<double>(n++) / 8000.0);
        const long s = bits == 8 ? std::lround(128 + 90 * v) : std::lround(20000 * v);
        block.push_back(static_cast<uint8_t>(s & 0xFF));
        if (bits == 16)
            block.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    return block;
}

void Feed(AudioEncoder& encoder, const std::vector<uint8_t>& block) {
    ASSERT_NE(encoder.GetInputQueue(), nullptr);
    ASSERT_TRUE(FeedFrame(*encoder.GetInputQueue(), block)) << "the encoder does not take its blocks";
}

// Waits until the encoder has taken every block and the camera has `batches` batches.
void WaitTaken(AudioEncoder& encoder, TalkCamera& camera, long batches) {
    ASSERT_TRUE(camera.WaitFor(kTalkData, batches));
    ASSERT_TRUE(testnet::WaitUntil([&] { return encoder.GetInputQueue()->GetReadyCount() == 0; }, 10000));
}

class TalkbackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }
    void SetUp() override {
        CamSimConfig config;
        config.uids = {uid};
        config.settings = P2PSettings::Current();
        config.talkbackDir = dir.path().string();
        config.log = [](const std::string&) {};
        camera = std::make_unique<TalkCamera>(config);
        ASSERT_EQ(camera->Start(), 0);
        ASSERT_EQ(model.Connect(uid.c_str()), 0);
    }

    TempDir dir;
    std::string uid = testnet::UniqueUid("TALK");
    std::unique_ptr<TalkCamera> camera;
    AVModel model;
};

} // namespace

TEST_F(TalkbackTest, EachTalkSendsBatchesOfFourNumberedFromOneAndEndsWithTheLastFullBatch) {
    AudioEncoder encoder;
    encoder.SetSink(&model);
    ASSERT_EQ(encoder.StartEncoder(), 0);
    EXPECT_EQ(encoder.StartEncoder(), -1); // one thread at a time
    encoder.SetSink(nullptr);              // ignored while the thread runs
    // 8-bit blocks, and after every fourth a block of another size, which is
    // skipped. The encoder is one block behind: 33 blocks give 32 packets.
    uint64_t n = 0;
    const uint32_t odd[] = {1, 512, 1023, 1536, 2047, 2176, 4096, 16384};
    for (int i = 0; i < 33; ++i) {
        Feed(encoder, ToneBlock(8, n));
        if (i % 4 == 3)
            Feed(encoder, std::vector<uint8_t>(odd[i / 4], 200));
    }
    WaitTaken(encoder, *camera, 8);
    EXPECT_EQ(encoder.StopEncoder(), 0);
    EXPECT_EQ(encoder.GetInputQueue(), nullptr);

    // The next talk, in 16 bits: 15 blocks give 14 packets, three batches;
    // the two records of the unfinished batch are dropped at the stop.
    ASSERT_EQ(encoder.StartEncoder(), 0);
    for (int i = 0; i < 15; ++i)
        Feed(encoder, ToneBlock(16, n));
    WaitTaken(encoder, *camera, 11);
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera->WaitFor(kTalkStop, 2));

    std::vector<uint32_t> expected = {kTalkStart};
    expected.insert(expected.end(), 8, kTalkData);
    expected.insert(expected.end(), {kTalkStop, kTalkStart, kTalkData, kTalkData, kTalkData, kTalkStop});
    EXPECT_EQ(camera->Types(), expected);
    EXPECT_EQ(camera->GetTalkbackFaults(), 0);
    EXPECT_EQ(camera->GetTalkbackRecords(), 44);
    const std::vector<std::string> files = camera->GetTalkbackFiles();
    ASSERT_EQ(files.size(), 2u);
    ExpectTone(files[0], 440, 32);
    ExpectTone(files[1], 440, 12);
}

// From end to end: SDL's disk driver plays a tone file as the microphone,
// Speaker captures it and the encoder sends it, wired as a pane wires them.
TEST_F(TalkbackTest, AToneSpokenIntoTheMicrophoneArrivesAtTheCamera) {
    WriteFile(dir.path() / "tone.raw", ToneU8(620, 3.0));
    UseCaptureFile(dir.path() / "tone.raw");
    AudioEncoder encoder;
    encoder.SetSink(&model);
    Speaker speaker;
    speaker.SetEncoder(&encoder);
    ASSERT_EQ(encoder.StartEncoder(), 0);
    ASSERT_EQ(speaker.StartCapture(), 0);
    // Three seconds of tone are about 23 blocks: five batches (20 records)
    // are well past the ten wave buffers of one capture cycle.
    EXPECT_TRUE(camera->WaitFor(kTalkData, 5));
    EXPECT_EQ(speaker.StopCapture(), 0);
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera->WaitFor(kTalkStop, 1));
    EXPECT_EQ(camera->GetTalkbackFaults(), 0);
    const std::vector<std::string> files = camera->GetTalkbackFiles();
    ASSERT_EQ(files.size(), 1u);
    ExpectTone(files[0], 620, 20);
}
