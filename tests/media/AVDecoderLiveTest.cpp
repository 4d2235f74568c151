// The whole receive side of a pane over the real transport on loopback: the
// simulated camera, AVModel, AVDecoder with its renderer, player and recorder.
#include "AVDecoder.h"
#include "AVModel.h"
#include "CamSim.h"
#include "Mp4Recorder.h"
#include "TestNet.h"
#include "TestStreams.h"
#include "VideoRender.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

namespace {

class CountingTarget : public RenderTarget {
public:
    bool DrawPicture(const uint32_t* pixels, int width, int height) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++count;
        lastWidth = width;
        lastHeight = height;
        lastPixel = pixels[static_cast<size_t>(width) * height / 2];
        return true;
    }
    int Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return count;
    }
    std::mutex m_mutex;
    int count = 0, lastWidth = 0, lastHeight = 0;
    uint32_t lastPixel = 0;
};

} // namespace

TEST(AVDecoderLive, CamsimOverLoopbackIsDrawnPlayedAndRecorded) {
    testnet::UseIsolatedPorts(3000, 1500);
    std::string folder = TestStreams::TempFolder("dec-live");
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", (folder + "/out.raw").c_str(), 1);
    std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(folder);

    std::string uid = testnet::UniqueUid("DECODE");
    CamSimConfig config;
    config.uids = {uid};
    config.width = 480;
    config.height = 272;
    config.settings = P2PSettings::Current();
    config.talkbackDir = folder;
    config.log = [](const std::string&) {};
    CamSim camsim(config);
    ASSERT_EQ(camsim.Start(), 0);

    // Wired and started the way the pane thread does it.
    AVModel model;
    VideoRender render;
    Mp4Recorder recorder;
    AVDecoder decoder;
    CountingTarget target;
    decoder.SetSource(&model);
    decoder.SetRender(&render);
    decoder.SetRecorder(&recorder);
    render.SetWindow(&target);
    ASSERT_EQ(model.Connect(uid.c_str()), 0);
    ASSERT_EQ(model.CreateVideoQueue(), 0);
    ASSERT_EQ(model.StartVideo(), 0);
    ASSERT_EQ(decoder.StartVideoDecode(), 0);
    ASSERT_EQ(model.CreateAudioQueue(), 0);
    ASSERT_EQ(model.StartAudio(), 0);
    ASSERT_EQ(decoder.StartAudioDecode(), 0);
    ASSERT_EQ(recorder.Start(), 0);

    EXPECT_TRUE(testnet::WaitUntil([&] { return target.Count() >= 75 && decoder.GetAudioBlocks() >= 20; }, 30000));

    EXPECT_EQ(decoder.StopAudioDecode(), 0);
    EXPECT_EQ(model.StopAudio(), 0);
    EXPECT_EQ(model.FreeAudioQueue(), 0);
    EXPECT_EQ(decoder.StopVideoDecode(), 0);
    EXPECT_EQ(model.StopVideo(), 0);
    EXPECT_EQ(model.FreeVideoQueue(), 0);
    EXPECT_EQ(recorder.Stop(), 0);
    EXPECT_EQ(model.Close(), 0);
    camsim.Stop();
    std::string file = recorder.GetFileName();
    std::filesystem::current_path(saved);

    EXPECT_EQ(target.lastWidth, 480);
    EXPECT_EQ(target.lastHeight, 272);
    EXPECT_EQ(render.GetBufferSize(), 0u); // the renderer stopped with the video thread
    EXPECT_GE(decoder.GetPictures(), 75u);
    // 1024 samples of 8000 Hz mono in each block.
    EXPECT_EQ(decoder.GetAudioBytes(), uint64_t{decoder.GetAudioBlocks()} * 4096u);

    ASSERT_FALSE(file.empty());
    std::string path = folder + "/" + file;
    std::string streams =
        TestStreams::Run("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" + path + "'");
    EXPECT_EQ(streams, "h264,480,272\naac\n");
    // The video samples decode to pictures. On a slow machine (or under a
    // sanitizer) the session queue drops frames when full, and pictures that
    // need a dropped one do not decode until the next key frame.
    std::string counts = TestStreams::Run("ffprobe -v error -select_streams v:0 -count_frames -count_packets "
                                          "-show_entries stream=nb_read_frames,nb_read_packets -of csv=p=0 '" +
                                          path + "'");
    int frames = 0, packets = 0;
    ASSERT_EQ(std::sscanf(counts.c_str(), "%d,%d", &frames, &packets), 2) << counts;
    EXPECT_GE(packets, 50);
    EXPECT_GE(frames * 2, packets);
    if (!::testing::Test::HasFailure())
        std::filesystem::remove_all(folder);
}
