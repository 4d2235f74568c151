#include "AVDecoder.h"
#include "AVModel.h"
#include "AacEncoder.h"
#include "Mp4Recorder.h"
#include "TestPicture.h"
#include "TestStreams.h"
#include "VideoEncoder.h"
#include "VideoRender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using TestStreams::Frame;

// Keeps the size and a hash of every picture drawn, in order.
class RecordingTarget : public RenderTarget {
public:
    struct Picture {
        int width, height;
        uint64_t hash;
    };
    bool DrawPicture(const uint32_t* pixels, int width, int height) override {
        uint64_t hash = 1469598103934665603ull;
        for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i)
            hash = (hash ^ pixels[i]) * 1099511628211ull;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pictures.push_back({width, height, hash});
        m_cv.notify_all();
        return true;
    }
    std::vector<Picture> Pictures() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pictures;
    }
    bool WaitPictures(size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 30s, [&] { return m_pictures.size() >= n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Picture> m_pictures;
};

// Puts one frame into a session queue the way the receive thread does, but
// waits for a free buffer instead of dropping, so that tests are exact.
void Produce(FrameBufferList& queue, const Frame& frame, uint32_t timestamp) {
    FrameBuffer* buf;
    while (!(buf = queue.AcquireFree()))
        std::this_thread::sleep_for(2ms);
    std::memcpy(buf->GetData(), frame.data(), frame.size());
    buf->SetLength(static_cast<uint32_t>(frame.size()));
    buf->SetTimestamp(timestamp);
    queue.MarkReady(buf);
}

bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i)
        std::this_thread::sleep_for(10ms);
    return done();
}

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
        audioFile = TestStreams::TempFolder(std::string("dec-") +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                    "/out.raw";
        setenv("SDL_DISKAUDIOFILE", audioFile.c_str(), 1);
        model.videoQueue = std::make_unique<FrameBufferList>(AVModel::kVideoBuffers, AVModel::kVideoBufferSize);
        model.audioQueue = std::make_unique<FrameBufferList>(AVModel::kAudioBuffers, AVModel::kAudioBufferSize);
        render.SetWindow(&target);
        // Pictures are drawn as soon as they come: pacing is the renderer's own test.
        render.SetClock([this] { return fakeNow.load(); },
                        [this](uint32_t ms) {
                            if (ms == 20)
                                std::this_thread::sleep_for(1ms);
                            else
                                fakeNow += ms;
                        });
        decoder.SetSource(&model);
        decoder.SetRender(&render);
    }
    void TearDown() override {
        decoder.StopAudioDecode();
        decoder.StopVideoDecode();
    }

    // Feeds video frames one at a time, each once the previous was decoded.
    void FeedVideo(const std::vector<Frame>& frames, uint32_t tsBase = 0) {
        for (size_t i = 0; i < frames.size(); ++i) {
            uint32_t before = decoder.GetVideoPackets();
            Produce(*model.videoQueue, frames[i], tsBase + static_cast<uint32_t>(i * 40000));
            ASSERT_TRUE(WaitFor([&] { return decoder.GetVideoPackets() > before; }));
        }
    }

    std::vector<int16_t> AudioOutput() {
        std::ifstream in(audioFile, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> samples(bytes.size() / 2);
        if (!samples.empty())
            std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    std::string audioFile;
    std::atomic<uint32_t> fakeNow{1000};
    RecordingTarget target;
    VideoRender render;
    AVModel model;
    AVDecoder decoder;
};

} // namespace

TEST_F(AVDecoderTest, CamsimStreamDecodesToPicturesAndSoundAndIsRecorded) {
    auto video = CamsimVideo(50);
    auto audio = CamsimAudio(20);
    ASSERT_EQ(video.size(), 50u);
    std::string folder = TestStreams::TempFolder("dec-recording");
    fs::path saved = fs::current_path();
    fs::current_path(folder);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    decoder.SetRecorder(&recorder);

    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    ASSERT_EQ(decoder.StartAudioDecode(), 0);
    std::thread audioFeeder([&] {
        // Sound from before the recording's first picture is not recorded.
        WaitFor([&] { return !recorder.GetFileName().empty(); });
        for (size_t i = 0; i < audio.size(); ++i) {
            Produce(*model.audioQueue, audio[i], static_cast<uint32_t>(i * 128000));
            std::this_thread::sleep_for(100ms); // a little faster than it plays
        }
    });
    FeedVideo(video);
    audioFeeder.join();
    ASSERT_TRUE(WaitFor([&] { return decoder.GetAudioPackets() == audio.size(); }));
    ASSERT_TRUE(target.WaitPictures(50));
    decoder.StopAudioDecode();
    decoder.StopVideoDecode();
    recorder.Stop();
    std::string file = recorder.GetFileName();
    fs::current_path(saved);

    EXPECT_EQ(decoder.GetPictures(), 50u);
    auto pictures = target.Pictures();
    ASSERT_EQ(pictures.size(), 50u);
    for (auto& p : pictures) {
        EXPECT_EQ(p.width, 640);
        EXPECT_EQ(p.height, 360);
    }
    EXPECT_NE(pictures[0].hash, pictures[30].hash); // the picture moves

    // Every AAC frame gave one block of 1024 samples of the first channel.
    EXPECT_EQ(decoder.GetAudioBlocks(), 20u);
    EXPECT_EQ(decoder.GetAudioBytes(), 20u * 1024u * 4u);
    auto pcm = AudioOutput();
    size_t loud = std::count_if(pcm.begin(), pcm.end(), [](int16_t s) { return std::abs(s) > 200; });
    EXPECT_GT(loud, 5000u) << "the tone reached the output";

    // Every raw frame went to the recorder.
    ASSERT_FALSE(file.empty());
    std::string counts = TestStreams::Run("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                                          "-of csv=p=0 '" +
                                          folder + "/" + file + "'");
    EXPECT_EQ(counts, "50\n20\n");
}

TEST_F(AVDecoderTest, ForeignStreamOfAnotherSizeAndStereo16kHz) {
    auto video = TestStreams::H264(426, 240, 1.0);
    auto audio = TestStreams::Aac(16000, 2, 1.0);
    ASSERT_GE(audio.size(), 15u);
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    ASSERT_EQ(decoder.StartAudioDecode(), 0);
    for (size_t i = 0; i < audio.size(); ++i)
        Produce(*model.audioQueue, audio[i], static_cast<uint32_t>(i * 64000));
    FeedVideo(video);
    ASSERT_TRUE(WaitFor([&] { return decoder.GetAudioPackets() == audio.size(); }));
    ASSERT_TRUE(target.WaitPictures(video.size()));
    decoder.StopAudioDecode();
    decoder.StopVideoDecode();
    for (auto& p : target.Pictures()) {
        EXPECT_EQ(p.width, 426);
        EXPECT_EQ(p.height, 240);
    }
    // One block per frame, 1024 samples of the first channel each.
    EXPECT_EQ(decoder.GetAudioBlocks(), audio.size());
    EXPECT_EQ(decoder.GetAudioBytes(), audio.size() * 1024u * 4u);
}

TEST_F(AVDecoderTest, ACorruptPacketChangesNothingThatFollows) {
    auto video = TestStreams::H264(320, 240, 3.0);
    ASSERT_EQ(video.size(), 75u);
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    FeedVideo(video);
    ASSERT_TRUE(target.WaitPictures(75));
    decoder.StopVideoDecode();
    auto reference = target.Pictures();

    // The same stream with frame 30 (a P frame) mangled and frame 40 cut short.
    RecordingTarget second;
    render.SetWindow(&second);
    auto bad = video;
    for (size_t i = 20; i < bad[30].size(); i += 7)
        bad[30][i] ^= 0x5A;
    bad[40].resize(bad[40].size() / 3);
    uint32_t before = decoder.GetPictures();
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    FeedVideo(bad);
    ASSERT_TRUE(WaitFor([&] { return decoder.GetVideoPackets() == 150u; }));
    std::this_thread::sleep_for(200ms);
    decoder.StopVideoDecode();
    auto pictures = second.Pictures();
    ASSERT_EQ(decoder.GetPictures() - before, pictures.size());
    ASSERT_GE(pictures.size(), 73u);
    // Up to the bad packet and from the next key frame on, the pictures are
    // exactly those of the clean run.
    for (size_t i = 0; i < 30; ++i)
        EXPECT_EQ(pictures[i].hash, reference[i].hash) << i;
    size_t offset = reference.size() - pictures.size();
    for (size_t i = 50; i < reference.size(); ++i)
        EXPECT_EQ(pictures[i - offset].hash, reference[i].hash) << i;
}

TEST_F(AVDecoderTest, StopJoinsTheRenderThreadAndStopWithoutStartReturns) {
    AVDecoder idle;
    EXPECT_EQ(idle.StopVideoDecode(), 0);
    EXPECT_EQ(idle.StopAudioDecode(), 0);

    auto video = TestStreams::H264(320, 240, 0.4);
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    EXPECT_EQ(decoder.StartVideoDecode(), 0);                          // already running: no second thread
    ASSERT_TRUE(WaitFor([&] { return render.GetBufferSize() != 0; })); // the render thread runs
    FeedVideo(video);
    ASSERT_TRUE(target.WaitPictures(video.size()));
    decoder.StopVideoDecode();
    EXPECT_EQ(render.GetBufferSize(), 0u); // renderer stopped, its queue freed
    // Frames queued after the stop are neither decoded nor drawn.
    Produce(*model.videoQueue, video[0], 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(target.Pictures().size(), video.size());
    EXPECT_EQ(decoder.GetVideoPackets(), video.size());
}
