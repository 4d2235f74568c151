#include "media/AVDecoder.h"
#include "media/VideoRender.h"
#include "session/AVModel.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FrameFeeder.h"
#include "tests/support/RecordingTarget.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"
#include "tests/support/TestStreams.h"
#include "tools/camsim/AacEncoder.h"
#include "tools/camsim/TestPicture.h"
#include "tools/camsim/VideoEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace {

using TestStreams::Frame;

// The camera simulator's encoders: its moving test picture and its tone.
std::vector<Frame> CamsimVideo(int count) {
    VideoEncoder encoder;
    EXPECT_EQ(encoder.Open(640, 360, 25, AVModel::kVideoBufferSize), 0) << encoder.GetError();
    std::vector<Frame> frames;
    for (int i = 0; i < count; ++i) {
        TestPicture::Paint(encoder.Picture(), "VANTORTEST0000000001", static_cast<uint32_t>(i), "12:00:00");
        std::vector<uint8_t> out;
        bool key = false;
        EXPECT_EQ(encoder.Encode(false, out, key), 0);
        if (!out.empty())
            frames.push_back(out);
    }
    return frames;
}

std::vector<Frame> CamsimAudio(int count) {
    AacEncoder encoder;
    EXPECT_EQ(encoder.Open(), 0) << encoder.GetError();
    std::vector<Frame> frames;
    while (static_cast<int>(frames.size()) < count)
        EXPECT_EQ(encoder.EncodeNext(frames), 0);
    frames.resize(static_cast<size_t>(count));
    return frames;
}

class AVDecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", audioFile.c_str(), 1);
        model.videoQueue = std::make_unique<FrameBufferList>(AVModel::kVideoBuffers, AVModel::kVideoBufferSize);
        model.audioQueue = std::make_unique<FrameBufferList>(AVModel::kAudioBuffers, AVModel::kAudioBufferSize);
        render.SetWindow(&target);
        // Pictures are drawn as soon as they come: pacing is the renderer's own test.
        render.SetClock(clock.Tick(), clock.Sleep());
        decoder.SetSource(&model);
        decoder.SetRender(&render);
    }

    // Feeds video frames one at a time, each once the previous was decoded.
    void FeedVideo(const std::vector<Frame>& frames) {
        for (size_t i = 0; i < frames.size(); ++i) {
            uint32_t before = decoder.GetVideoPackets();
            ASSERT_TRUE(FeedFrame(*model.videoQueue, frames[i], static_cast<uint32_t>(i * 40000)));
            ASSERT_TRUE(testnet::WaitUntil([&] { return decoder.GetVideoPackets() > before; }, 30000));
        }
    }

    TempDir dir;
    std::filesystem::path audioFile = dir.path() / "out.raw";
    FakeClock clock;
    RecordingTarget target;
    VideoRender render;
    AVModel model;
    AVDecoder decoder;
};

struct Stream {
    const char* name;
    int width, height;
    std::function<std::vector<Frame>()> video, audio;
    uint32_t audioStepUs;
};
void PrintTo(const Stream& s, std::ostream* os) {
    *os << s.name;
}

class AVDecoderStreamTest : public AVDecoderTest, public ::testing::WithParamInterface<Stream> {};

} // namespace

// Every frame gives one picture of the stream's size and one block of 1024
// samples of the first channel, and the sound is heard.
TEST_P(AVDecoderStreamTest, DecodesToPicturesAndSound) {
    const Stream& s = GetParam();
    auto video = s.video();
    auto audio = s.audio();
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    EXPECT_EQ(decoder.StartVideoDecode(), 0); // already running: no second thread
    ASSERT_EQ(decoder.StartAudioDecode(), 0);
    FeedVideo(video);
    // Each frame once the output has played as much as one frame holds, as a
    // camera sends them, so that none has to be cut to keep the sound prompt.
    for (size_t i = 0; i < audio.size(); ++i) {
        ASSERT_TRUE(testnet::WaitUntil(
            [&] {
                std::error_code ec;
                auto size = std::filesystem::file_size(audioFile, ec);
                return !ec && size >= i * 2048;
            },
            10000));
        ASSERT_TRUE(FeedFrame(*model.audioQueue, audio[i], static_cast<uint32_t>(i * s.audioStepUs)));
    }
    ASSERT_TRUE(testnet::WaitUntil([&] { return decoder.GetAudioPackets() == audio.size(); }, 30000));
    ASSERT_TRUE(target.WaitCalls(static_cast<int>(video.size())));
    decoder.StopAudioDecode();
    decoder.StopVideoDecode();
    EXPECT_EQ(render.GetBufferSize(), 0u); // the renderer stopped with the video thread

    EXPECT_EQ(decoder.GetPictures(), video.size());
    auto pictures = target.Draws();
    ASSERT_EQ(pictures.size(), video.size());
    for (auto& p : pictures)
        ASSERT_EQ(std::make_pair(p.width, p.height), std::make_pair(s.width, s.height));
    EXPECT_NE(pictures.front().hash, pictures.back().hash); // the picture moves
    EXPECT_EQ(decoder.GetAudioBlocks(), audio.size());
    EXPECT_EQ(decoder.GetAudioBytes(), audio.size() * 1024u * 4u);
    auto pcm = ReadS16(audioFile);
    auto loud = std::count_if(pcm.begin(), pcm.end(), [](int16_t v) { return std::abs(v) > 200; });
    EXPECT_GT(loud, 4000) << "the tone reached the output";
}

INSTANTIATE_TEST_SUITE_P(Streams, AVDecoderStreamTest,
                         ::testing::Values(Stream{"Camera", 640, 360, [] { return CamsimVideo(25); },
                                                  [] { return CamsimAudio(12); }, 128000},
                                           Stream{"OtherSizeAndStereo16kHz", 426, 240,
                                                  [] { return TestStreams::H264(426, 240, 1.0); },
                                                  [] { return TestStreams::Aac(16000, 2, 1.0); }, 64000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVDecoderTest, ACorruptPacketChangesNothingThatFollows) {
    AVDecoder idle;
    EXPECT_EQ(idle.StopVideoDecode(), 0); // stopping what never started returns

    auto video = TestStreams::H264(320, 240, 3.0);
    ASSERT_EQ(video.size(), 75u);
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    FeedVideo(video);
    ASSERT_TRUE(target.WaitCalls(75));
    decoder.StopVideoDecode();
    auto reference = target.Draws();

    // The same stream with frame 30 (a P frame) mangled and frame 40 cut short.
    RecordingTarget second;
    render.SetWindow(&second);
    auto bad = video;
    for (size_t i = 20; i < bad[30].size(); i += 7)
        bad[30][i] ^= 0x5A;
    bad[40].resize(bad[40].size() / 3);
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    FeedVideo(bad);
    // From the key frame at 50 on the pictures are those of the clean run again.
    ASSERT_TRUE(testnet::WaitUntil(
        [&] {
            auto draws = second.Draws();
            return !draws.empty() && draws.back().hash == reference.back().hash;
        },
        30000));
    decoder.StopVideoDecode();
    auto pictures = second.Draws();
    ASSERT_GE(pictures.size(), 73u);
    for (size_t i = 0; i < 30; ++i)
        EXPECT_EQ(pictures[i].hash, reference[i].hash) << i;
    size_t offset = reference.size() - pictures.size();
    for (size_t i = 50; i < reference.size(); ++i)
        EXPECT_EQ(pictures[i - offset].hash, reference[i].hash) << i;
}
