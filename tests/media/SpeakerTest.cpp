#include "media/Speaker.h"
#include "media/AudioEncoder.h"
#include "media/WavePlayer.h"
#include "platform/NamedMutex.h"
#include "session/FrameBufferList.h"
#include "tests/support/TestFiles.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class SpeakerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (size_t i = 0; i < input.size(); ++i)
            input[i] = static_cast<uint8_t>((i * 13 + i / 256) & 0xFF);
        WriteFile(dir.path() / "mic.raw", input);
        UseCaptureFile(dir.path() / "mic.raw");
        setenv("SDL_DISKAUDIOFILE", (dir.path() / "out.raw").c_str(), 1);
    }
    TempDir dir;
    std::vector<uint8_t> input = std::vector<uint8_t>(40 * 1024);
};

} // namespace

// Four panes talk and play at once, each from its own thread, all through the
// same named locks and SDL. The encoder threads take only the shared exit
// lock, to test their stop flags: holding it parks them, so each pane can be
// its queue's only consumer and see exactly what its microphone delivered,
// more blocks than the ten wave buffers, so buffers must be handed back.
TEST_F(SpeakerTest, FourPanesCaptureEveryByteInOrderWhilePlaying) {
    AudioEncoder encoders[4];
    for (auto& encoder : encoders)
        ASSERT_EQ(encoder.StartEncoder(), 0);
    auto pane = [this](AudioEncoder& encoder) {
        WavePlayer player;
        EXPECT_EQ(player.OpenOutput(), 0);
        Speaker speaker;
        speaker.SetEncoder(&encoder);
        ASSERT_EQ(speaker.StartCapture(), 0);
        EXPECT_EQ(speaker.GetBitsPerSample(), 8);
        std::vector<float> sound(1024, 0.1f);
        EXPECT_EQ(player.WriteSamples(WavePlayer::kSampleFloat, sound.data(), 4096, 1, 8000), 0);
        std::vector<uint8_t> received;
        for (int blocks = 0; blocks < 15; ++blocks) {
            FrameBuffer* buf = encoder.GetInputQueue()->WaitReady(15000);
            ASSERT_NE(buf, nullptr) << "block " << blocks;
            EXPECT_EQ(buf->GetLength(), 1024u);
            received.insert(received.end(), buf->GetData(), buf->GetData() + buf->GetLength());
            encoder.GetInputQueue()->Recycle(buf);
        }
        EXPECT_EQ(speaker.StopCapture(), 0);
        EXPECT_TRUE(std::equal(received.begin(), received.end(), input.begin()));
    };
    {
        NamedMutex exitLock("HandleExit");
        std::lock_guard<NamedMutex> parked(exitLock);
        std::vector<std::thread> panes;
        for (auto& encoder : encoders)
            panes.emplace_back(pane, std::ref(encoder));
        for (auto& t : panes)
            t.join();
    }
    for (auto& encoder : encoders)
        EXPECT_EQ(encoder.StopEncoder(), 0);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

// A refused start changes nothing: stopping any number of times is fine, a
// later start captures again, and destroying a capturing speaker releases
// the device. The encoder is idle, so the blocks handed back at each stop
// find no queue and are dropped.
TEST_F(SpeakerTest, RefusedStartsLeaveItReadyToStartAgain) {
    const std::pair<const char*, std::function<int(Speaker&)>> refused[] = {
        {"StartWhileCapturing",
         [](Speaker& s) {
             EXPECT_EQ(s.StartCapture(), 0);
             return s.StartCapture();
         }},
        {"NoMicrophone",
         [this](Speaker& s) {
             UseCaptureFile(dir.path() / "missing.raw");
             return s.StartCapture();
         }},
    };
    for (const auto& [name, start] : refused) {
        SCOPED_TRACE(name);
        AudioEncoder idle;
        {
            Speaker speaker;
            speaker.SetEncoder(&idle);
            EXPECT_EQ(start(speaker), -1);
            EXPECT_EQ(speaker.StopCapture(), 0);
            EXPECT_EQ(speaker.StopCapture(), 0);
            EXPECT_EQ(speaker.GetBitsPerSample(), 0);
            EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
            UseCaptureFile(dir.path() / "mic.raw");
            ASSERT_EQ(speaker.StartCapture(), 0);
            EXPECT_EQ(speaker.GetBitsPerSample(), 8);
        }
        EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    }
}
