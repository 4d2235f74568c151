// The encoder talking to a simulated camera through a real AVModel over
// loopback: what leaves the encoder is exactly what the camera receives.

#include "AVModel.h"
#include "AudioEncoder.h"
#include "AudioEncoderTestCamera.h"
#include "FrameBufferList.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Consecutive 1024-sample blocks of a 440 Hz tone, as the microphone gives them.
class ToneBlocks {
public:
    std::vector<uint8_t> Next8() {
        std::vector<uint8_t> block(1024);
        for (auto& b : block)
            b = static_cast<uint8_t>(std::lround(128 + 90 * Sample()));
        return block;
    }
    std::vector<uint8_t> Next16() {
        std::vector<uint8_t> block(2048);
        for (size_t i = 0; i < 1024; ++i) {
            auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(20000 * Sample())));
            block[2 * i] = static_cast<uint8_t>(s & 0xFF);
            block[2 * i + 1] = static_cast<uint8_t>(s >> 8);
        }
        return block;
    }

private:
    double Sample() { return std::sin(2 * M_PI * 440 * static_cast<double>(m_n++) / 8000.0); }
    uint64_t m_n = 0;
};

void Feed(AudioEncoder& encoder, const std::vector<uint8_t>& block) {
    FrameBufferList* queue = encoder.GetInputQueue();
    ASSERT_NE(queue, nullptr);
    FrameBuffer* buf = nullptr;
    for (int tries = 0; buf == nullptr && tries < 1000; ++tries) {
        buf = queue->AcquireFree();
        if (buf == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(buf, nullptr) << "the encoder does not take its blocks";
    std::memcpy(buf->GetData(), block.data(), block.size());
    buf->SetLength(static_cast<uint32_t>(block.size()));
    queue->MarkReady(buf);
}

// Checks that `messages` are 848, then batches of four records numbered on
// from 1 with well-formed headers, then 849; returns the number of batches.
size_t CheckSession(const std::vector<TalkbackMessage>& messages) {
    EXPECT_GE(messages.size(), 2u);
    if (messages.size() < 2)
        return 0;
    EXPECT_EQ(messages.front().type, 0x0350u);
    EXPECT_TRUE(messages.front().payload.empty());
    EXPECT_EQ(messages.back().type, 0x0351u);
    EXPECT_TRUE(messages.back().payload.empty());
    uint32_t expected = 1;
    for (size_t i = 1; i + 1 < messages.size(); ++i) {
        EXPECT_EQ(messages[i].type, 0x0352u);
        std::vector<TalkbackRecord> records;
        EXPECT_TRUE(SplitBatch(messages[i].payload, records)) << "batch " << i;
        EXPECT_EQ(records.size(), 4u) << "batch " << i;
        for (const TalkbackRecord& record : records) {
            EXPECT_EQ(record.sequence, expected++);
            const uint32_t L = record.frameLength;
            const std::vector<uint8_t> header = {0xFF,
                                                 0xF9,
                                                 0x6C,
                                                 static_cast<uint8_t>(0x40 | ((L >> 11) & 3)),
                                                 static_cast<uint8_t>((L >> 3) & 0xFF),
                                                 static_cast<uint8_t>(((L & 7) << 5) | 0x1F),
                                                 0x01};
            EXPECT_EQ(record.adts, header) << "record " << record.sequence;
            EXPECT_GT(L, 7u);
        }
    }
    return messages.size() - 2;
}

class AudioEncoderSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        uid = UniqueUid("TALKENC");
        camera = std::make_unique<TestCamera>(uid, dir.path().string());
        ASSERT_EQ(camera->Start(), 0);
        model = std::make_unique<AVModel>();
        ASSERT_EQ(model->Connect(uid.c_str()), 0);
    }
    void TearDown() override {
        model.reset();
        camera.reset();
    }

    TempDir dir;
    std::string uid;
    std::unique_ptr<TestCamera> camera;
    std::unique_ptr<AVModel> model;
};

TEST_F(AudioEncoderSinkTest, RecordsTravelInBatchesOfFourNumberedFromOneForEveryTalk) {
    AudioEncoder encoder;
    encoder.SetSink(model.get());
    ToneBlocks tone;

    ASSERT_EQ(encoder.StartEncoder(), 0);
    encoder.SetSink(nullptr); // ignored while the thread runs
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0350) == 1; }));
    // 33 blocks in 8 and 16 bits, with blocks of other sizes between them
    // that are skipped. The encoder is one block behind, so 32 packets come
    // out: exactly eight batches.
    for (int i = 0; i < 33; ++i) {
        Feed(encoder, i < 20 ? tone.Next8() : tone.Next16());
        if (i == 5)
            Feed(encoder, std::vector<uint8_t>(1000, 128));
        if (i == 25)
            Feed(encoder, std::vector<uint8_t>(1536, 0));
    }
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0352) == 8; }));
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0351) == 1; }));
    std::vector<TalkbackMessage> first = camera->Messages();
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(CheckSession(first), 8u);

    // The next talk starts again at sequence number 1.
    ASSERT_EQ(encoder.StartEncoder(), 0);
    for (int i = 0; i < 9; ++i)
        Feed(encoder, tone.Next8());
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0352) == 10; }));
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0351) == 2; }));
    std::vector<TalkbackMessage> all = camera->Messages();
    std::vector<TalkbackMessage> second(all.begin() + 10, all.end());
    EXPECT_EQ(CheckSession(second), 2u);

    EXPECT_EQ(camera->GetTalkbackFaults(), 0);
    EXPECT_EQ(camera->GetTalkbackRecords(), 40);
    EXPECT_EQ(camera->GetTalkbackFiles().size(), 2u);
}

// Six packets, then the talk ends: one batch of four goes out, the two later
// records are dropped, and the stop message follows.
TEST_F(AudioEncoderSinkTest, SixPacketsThenStopSendOneBatchAndTheStop) {
    AudioEncoder encoder;
    encoder.SetSink(model.get());
    ToneBlocks tone;
    ASSERT_EQ(encoder.StartEncoder(), 0);
    for (int i = 0; i < 7; ++i) // the encoder is one block behind: six packets
        Feed(encoder, tone.Next8());
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0352) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // let it encode the rest
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0351) == 1; }));

    std::vector<TalkbackMessage> messages = camera->Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(CheckSession(messages), 1u);
    EXPECT_EQ(camera->GetTalkbackRecords(), 4);
    EXPECT_EQ(camera->GetTalkbackFaults(), 0);
}

// Only blocks of 1024 samples are encoded: a talk fed nothing else sends no
// batch at all, only its start and stop.
TEST_F(AudioEncoderSinkTest, BlocksOfOtherSizesAreSkipped) {
    AudioEncoder encoder;
    encoder.SetSink(model.get());
    ASSERT_EQ(encoder.StartEncoder(), 0);
    for (uint32_t length : {1u, 512u, 1023u, 1152u, 1536u, 2047u, 2176u, 4096u, 16384u}) {
        for (int i = 0; i < 4; ++i)
            Feed(encoder, std::vector<uint8_t>(length, 200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera->WaitFor([](const auto& m) { return CountType(m, 0x0351) == 1; }));
    std::vector<TalkbackMessage> messages = camera->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(CheckSession(messages), 0u);
}

// A model without a channel sends nothing, and the encoder does not mind.
TEST(AudioEncoderUnconnectedSink, TalkWithAModelThatIsNotConnected) {
    AVModel model;
    AudioEncoder encoder;
    encoder.SetSink(&model);
    ASSERT_EQ(encoder.StartEncoder(), 0);
    ToneBlocks tone;
    for (int i = 0; i < 12; ++i)
        Feed(encoder, tone.Next8());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(encoder.StopEncoder(), 0);
}

} // namespace
