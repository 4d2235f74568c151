#include "Speaker.h"
#include "AudioEncoder.h"
#include "FrameBufferList.h"
#include "NamedMutex.h"
#include "WaveInTestFiles.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 13 + i / 256) & 0xFF);
    return bytes;
}

class SpeakerTest : public ::testing::Test {
protected:
    void SetUp() override {
        input = Pattern(40 * 1024);
        WriteFile(dir.path() / "mic.raw", input);
        UseCaptureFile(dir.path() / "mic.raw");
    }
    TempDir dir;
    std::vector<uint8_t> input;
};

// The encoder thread takes only the shared exit lock, to test its stop flag.
// Holding that lock parks it, so the test can be the queue's only consumer
// and see exactly what the microphone delivered.
TEST_F(SpeakerTest, CapturedBlocksReachTheEncoderQueueInOrderAndTheCycleGoesOn) {
    AudioEncoder encoder;
    Speaker speaker;
    speaker.SetEncoder(&encoder);
    ASSERT_EQ(encoder.StartEncoder(), 0);
    FrameBufferList* queue = encoder.GetInputQueue();
    ASSERT_NE(queue, nullptr);

    std::vector<uint8_t> received;
    size_t blocks = 0;
    {
        NamedMutex exitLock("HandleExit");
        std::lock_guard<NamedMutex> parked(exitLock);
        ASSERT_EQ(speaker.StartCapture(), 0);
        EXPECT_EQ(speaker.GetBitsPerSample(), 8);
        // More blocks than the ten wave buffers: buffers must be handed back.
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (blocks < 15 && Clock::now() < deadline) {
            FrameBuffer* buf = queue->TakeReady();
            if (buf == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            EXPECT_EQ(buf->GetLength(), 1024u);
            received.insert(received.end(), buf->GetData(), buf->GetData() + buf->GetLength());
            ++blocks;
            queue->Recycle(buf);
        }
        EXPECT_EQ(speaker.StopCapture(), 0);
    }
    EXPECT_EQ(blocks, 15u);
    ASSERT_LE(received.size(), input.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), input.begin()));
    EXPECT_EQ(encoder.StopEncoder(), 0);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

// Starts once, stops any number of times, starts again; destroyed while
// capturing, it stops.
TEST_F(SpeakerTest, StartsOnceStopsAnyNumberOfTimesAndStartsAgain) {
    AudioEncoder encoder;
    ASSERT_EQ(encoder.StartEncoder(), 0);
    {
        Speaker speaker;
        speaker.SetEncoder(&encoder);
        EXPECT_EQ(speaker.StopCapture(), 0); // nothing open yet
        ASSERT_EQ(speaker.StartCapture(), 0);
        EXPECT_EQ(speaker.StartCapture(), -1); // already capturing
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(speaker.StopCapture(), 0);
        EXPECT_EQ(speaker.GetBitsPerSample(), 0);
        EXPECT_EQ(speaker.StopCapture(), 0);
        EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
        ASSERT_EQ(speaker.StartCapture(), 0);
        EXPECT_EQ(speaker.GetBitsPerSample(), 8);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    EXPECT_EQ(encoder.StopEncoder(), 0);
}

TEST_F(SpeakerTest, NoMicrophoneMeansStartFails) {
    UseCaptureFile(dir.path() / "missing.raw");
    AudioEncoder encoder;
    Speaker speaker;
    speaker.SetEncoder(&encoder);
    EXPECT_EQ(speaker.StartCapture(), -1);
    EXPECT_EQ(speaker.GetBitsPerSample(), 0);
    EXPECT_EQ(speaker.StopCapture(), 0);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

// Without an encoder queue (talk-back not started, or no encoder at all) the
// blocks are dropped, and capture still cycles past its ten buffers.
TEST_F(SpeakerTest, CaptureWithoutAQueueDropsBlocksAndKeepsRunning) {
    AudioEncoder idle;
    Speaker withIdleEncoder;
    withIdleEncoder.SetEncoder(&idle);
    Speaker withoutEncoder;
    ASSERT_EQ(withIdleEncoder.StartCapture(), 0);
    ASSERT_EQ(withoutEncoder.StartCapture(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ(withIdleEncoder.StopCapture(), 0);
    EXPECT_EQ(withoutEncoder.StopCapture(), 0);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

// Four panes talk at once, each from its own thread, all through the same
// named locks.
TEST_F(SpeakerTest, FourPanesCaptureAtOnce) {
    auto pane = [] {
        AudioEncoder encoder;
        Speaker speaker;
        speaker.SetEncoder(&encoder);
        for (int round = 0; round < 2; ++round) {
            if (encoder.StartEncoder() != 0 || speaker.StartCapture() != 0) {
                ADD_FAILURE() << "talk-back did not start";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            speaker.StopCapture();
            encoder.StopEncoder();
        }
    };
    std::vector<std::thread> panes;
    for (int i = 0; i < 4; ++i)
        panes.emplace_back(pane);
    for (auto& t : panes)
        t.join();
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

} // namespace
