#include "media/VideoRender.h"
#include "media/ToRGB32.h"
#include "tests/support/FakeClock.h"
#include "tests/support/RecordingTarget.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace {

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// A picture whose first luma sample carries a marker, so draws can be told apart.
FramePtr MakeFrame(int width, int height, uint8_t marker, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = format;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    std::mt19937 rng(marker);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    for (int p = 0; p < 3 && frame->data[p]; ++p) {
        int rows = p == 0 ? height : AV_CEIL_RSHIFT(height, desc->log2_chroma_h);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < frame->linesize[p]; ++c)
                frame->data[p][r * frame->linesize[p] + c] = static_cast<uint8_t>(rng());
    }
    frame->data[0][0] = marker;
    if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
        frame->data[1][0] = 128;
        frame->data[2][0] = 128;
    }
    return frame;
}

uint32_t Gray(uint8_t y) {
    return 0xFF000000u | 0x00010101u * y;
}

class VideoRenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        target.tick = clock.Tick();
        render.SetClock(clock.Tick(), clock.Sleep());
        render.SetWindow(&target);
    }
    void Submit(uint8_t marker, uint32_t timestamp, int width = 32, int height = 18) {
        auto frame = MakeFrame(width, height, marker);
        render.SubmitPicture(frame.get(), timestamp);
    }
    // Submits and waits until it is drawn (or offered).
    void Show(uint8_t marker, uint32_t timestamp) {
        int before = target.Calls();
        Submit(marker, timestamp);
        ASSERT_TRUE(target.WaitCalls(before + 1));
    }

    FakeClock clock;
    RecordingTarget target;
    VideoRender render;
};

} // namespace

TEST_F(VideoRenderTest, RenderThreadWaitsUntilEachPictureIsDue) {
    render.StartRender();
    const uint32_t ts0 = 3000000000u; // 50 minutes into the device's clock
    Show(10, ts0);
    uint32_t base = target.Draws()[0].tick;
    Show(11, ts0 + 40000);
    Show(12, ts0 + 80000);
    // Taken late: drawn at once.
    clock.now += 200;
    Show(13, ts0 + 120000);
    render.StopRender();
    auto draws = target.Draws();
    ASSERT_EQ(draws.size(), 4u);
    EXPECT_EQ(draws[0].firstPixel, Gray(10));
    EXPECT_EQ(draws[1].tick - base, 40u);
    EXPECT_EQ(draws[2].tick - base, 80u);
    EXPECT_EQ(draws[3].tick - base, 280u);
    EXPECT_EQ(draws[3].firstPixel, Gray(13));
}

TEST_F(VideoRenderTest, StopDoesNotWaitOutAPacingSleepAndJoinsTheThread) {
    render.StartRender();
    Show(1, 0);
    clock.halted = true; // the next picture's wait never ends by itself
    int sleeps = clock.sleeps.load();
    Submit(2, 900000);
    ASSERT_TRUE(testnet::WaitUntil([&] { return clock.sleeps.load() >= sleeps + 2; }, 10000));
    render.StopRender();
    EXPECT_EQ(target.Calls(), 1); // the waiting picture was not drawn
    EXPECT_EQ(render.GetBufferSize(), 0u);
}

TEST_F(VideoRenderTest, FailedDrawsAreSkippedAndTheirBuffersRecycled) {
    target.refuseFirst = 12;
    render.StartRender();
    for (int i = 0; i < 13; ++i)
        Show(static_cast<uint8_t>(i + 1), 1000u * i);
    render.StopRender();
    auto d = target.Draws();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].firstPixel, Gray(13));
}

TEST_F(VideoRenderTest, EleventhPictureWithTenWaitingIsDropped) {
    target.holdFirst = true;
    render.StartRender();
    for (int i = 1; i <= 11; ++i)
        Submit(static_cast<uint8_t>(i), 0); // same time stamp: drawn at once
    target.Release();
    ASSERT_TRUE(target.WaitCalls(10));
    Show(12, 0);
    render.StopRender();
    auto d = target.Draws();
    ASSERT_EQ(d.size(), 11u);
    EXPECT_EQ(d[9].firstPixel, Gray(10));
    EXPECT_EQ(d[10].firstPixel, Gray(12)); // 11 found no buffer
}

namespace {

// Pictures the renderer must not take: nothing of them is drawn, and the
// good picture after them is.
struct Refused {
    const char* name;
    bool started;
    std::function<FramePtr()> make;
};
void PrintTo(const Refused& r, std::ostream* os) {
    *os << r.name;
}

class VideoRenderRefusesTest : public VideoRenderTest, public ::testing::WithParamInterface<Refused> {};

} // namespace

TEST_P(VideoRenderRefusesTest, DrawsOnlyTheGoodPictureAfterIt) {
    if (GetParam().started)
        render.StartRender();
    FramePtr bad = GetParam().make();
    render.SubmitPicture(bad.get(), 0);
    if (!GetParam().started)
        render.StartRender();
    auto good = MakeFrame(32, 18, 9, AV_PIX_FMT_YUVJ420P);
    render.SubmitPicture(good.get(), 0);
    ASSERT_TRUE(target.WaitCalls(1));
    render.StopRender();
    ASSERT_EQ(target.Draws().size(), 1u);
    EXPECT_EQ(target.Draws()[0].firstPixel, Gray(9));
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, VideoRenderRefusesTest,
    ::testing::Values(Refused{"WhileStopped", false, [] { return MakeFrame(32, 18, 1); }},
                      Refused{"Null", true, [] { return FramePtr(); }},
                      Refused{"Empty", true, [] { return FramePtr(av_frame_alloc()); }},
                      Refused{"Planar444", true, [] { return MakeFrame(32, 18, 2, AV_PIX_FMT_YUV444P); }},
                      Refused{"Planar422", true, [] { return MakeFrame(32, 18, 3, AV_PIX_FMT_YUV422P); }},
                      Refused{"SemiPlanarNv12", true, [] { return MakeFrame(32, 18, 4, AV_PIX_FMT_NV12); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A picture larger than the buffers makes the queue anew; a window that tells
// its size gets pictures of that size.
TEST_F(VideoRenderTest, FullHdPictureShowsWholeOrAtTheWindowsSize) {
    render.StartRender();
    Show(1, 0); // small picture first
    auto frame = MakeFrame(1920, 1080, 77);
    render.SubmitPicture(frame.get(), 40000);
    ASSERT_TRUE(target.WaitCalls(2));
    std::vector<uint32_t> expected(1920 * 1080);
    ToRGB32Reference(frame->data, frame->linesize, 1920, 1080, expected.data());

    // For a pane of 300 x 270 it comes at that size; a flat picture stays flat.
    target.drawWidth = 300;
    target.drawHeight = 270;
    for (int p = 0; p < 3; ++p)
        for (int r = 0; r < (p == 0 ? 1080 : 540); ++r)
            std::fill_n(frame->data[p] + r * frame->linesize[p], p == 0 ? 1920 : 960, p == 0 ? 100 : 128);
    render.SubmitPicture(frame.get(), 80000);
    ASSERT_TRUE(target.WaitCalls(3));
    render.StopRender();
    auto d = target.Draws();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(std::make_pair(d[1].width, d[1].height), std::make_pair(1920, 1080));
    EXPECT_EQ(d[1].hash, RecordingTarget::Hash(expected.data(), expected.size()));
    EXPECT_EQ(std::make_pair(d[2].width, d[2].height), std::make_pair(300, 270));
    const std::vector<uint32_t> flat(300 * 270, Gray(100));
    EXPECT_EQ(d[2].hash, RecordingTarget::Hash(flat.data(), flat.size()));
}
