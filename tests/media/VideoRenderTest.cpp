#include "VideoRender.h"
#include "ToRGB32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace {

using namespace std::chrono_literals;

// A clock the render thread reads through the seam. Pacing sleeps (at most
// 10 ms each) advance it; the 20 ms idle poll does not, so the time at which
// a picture is taken does not depend on how often the thread polled. With
// advancing off, pacing waits never end by themselves.
class FakeClock {
public:
    std::atomic<uint32_t> now{5000};
    std::atomic<bool> advancing{true};
    std::atomic<int> pacingSleeps{0};

    void Install(VideoRender& render) {
        render.SetClock([this] { return now.load(); },
                        [this](uint32_t ms) {
                            if (ms == 20) {
                                std::this_thread::sleep_for(1ms);
                                return;
                            }
                            ++pacingSleeps;
                            if (advancing)
                                now += ms;
                            else
                                std::this_thread::sleep_for(1ms);
                        });
    }
};

// Records every picture offered, with the fake time of the call.
class RecordingTarget : public RenderTarget {
public:
    struct Draw {
        uint32_t tick;
        int width, height;
        uint32_t firstPixel;
    };
    FakeClock* clock = nullptr;
    int failFirst = 0;                // calls that return false
    bool blockFirst = false;          // the first call waits for Release()
    std::vector<uint32_t> keepPixels; // pixels of the last picture drawn
    std::atomic<int> drawWidth{0}, drawHeight{0};

    void GetDrawSize(int& width, int& height) const override {
        width = drawWidth.load();
        height = drawHeight.load();
    }

    bool DrawPicture(const uint32_t* pixels, int width, int height) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_entered;
        m_cv.notify_all();
        if (blockFirst && m_calls == 0)
            m_cv.wait(lock, [this] { return m_released; });
        ++m_calls;
        if (m_calls <= failFirst) {
            m_cv.notify_all();
            return false;
        }
        m_draws.push_back({clock ? clock->now.load() : 0, width, height, pixels[0]});
        keepPixels.assign(pixels, pixels + static_cast<size_t>(width) * height);
        m_cv.notify_all();
        return true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_cv.notify_all();
    }
    bool WaitCalls(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 20s, [&] { return m_calls >= n; });
    }
    std::vector<Draw> Draws() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_draws;
    }
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 20s, [&] { return m_entered >= n; });
    }
    int Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_calls = 0;
    int m_entered = 0;
    bool m_released = false;
    std::vector<Draw> m_draws;
};

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
        target.clock = &clock;
        clock.Install(render);
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
    clock.advancing = false; // the next picture's wait never ends by itself
    int sleeps = clock.pacingSleeps.load();
    Submit(2, 900000);
    while (clock.pacingSleeps.load() < sleeps + 2)
        std::this_thread::sleep_for(1ms);
    render.StopRender();
    int calls = target.Calls();
    EXPECT_EQ(calls, 1); // the waiting picture was not drawn
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(target.Calls(), calls); // nothing draws after the stop
    EXPECT_EQ(render.GetBufferSize(), 0u);
}

TEST_F(VideoRenderTest, FailedDrawsAreSkippedAndTheirBuffersRecycled) {
    target.failFirst = 12;
    render.StartRender();
    for (int i = 0; i < 13; ++i)
        Show(static_cast<uint8_t>(i + 1), 1000u * i);
    render.StopRender();
    auto d = target.Draws();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].firstPixel, Gray(13));
}

TEST_F(VideoRenderTest, EleventhPictureWithTenWaitingIsDropped) {
    target.blockFirst = true;
    render.StartRender();
    Submit(1, 0);
    // The render thread now holds picture 1 inside the draw.
    ASSERT_TRUE(target.WaitEntered(1));
    for (int i = 2; i <= 11; ++i)
        Submit(static_cast<uint8_t>(i), 0); // same time stamp: drawn at once
    target.Release();
    ASSERT_TRUE(target.WaitCalls(10));
    std::this_thread::sleep_for(50ms);
    render.StopRender();
    auto d = target.Draws();
    ASSERT_EQ(d.size(), 10u);
    EXPECT_EQ(d[0].firstPixel, Gray(1));
    EXPECT_EQ(d[9].firstPixel, Gray(10)); // 11 found no buffer
}

TEST_F(VideoRenderTest, IgnoresPicturesWhileStoppedEmptyOrZeroSized) {
    Submit(1, 0); // not started
    render.StartRender();
    render.SubmitPicture(nullptr, 0);
    FramePtr empty(av_frame_alloc());
    render.SubmitPicture(empty.get(), 0);
    Show(2, 0);
    render.StopRender();
    Submit(3, 0);
    auto d = target.Draws();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].firstPixel, Gray(2));
}

TEST_F(VideoRenderTest, PicturesNotPlanar420AreDroppedAndCounted) {
    render.StartRender();
    for (AVPixelFormat f : {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_NV12}) {
        auto frame = MakeFrame(32, 18, 7, f);
        render.SubmitPicture(frame.get(), 0);
    }
    EXPECT_EQ(render.GetDroppedPictures(), 3u);
    auto full = MakeFrame(32, 18, 9, AV_PIX_FMT_YUVJ420P);
    render.SubmitPicture(full.get(), 0);
    ASSERT_TRUE(target.WaitCalls(1));
    render.StopRender();
    ASSERT_EQ(target.Draws().size(), 1u);
    EXPECT_EQ(target.Draws()[0].firstPixel, Gray(9));
}

// A picture larger than the buffers makes the queue anew; a window that tells
// its size gets pictures of that size.
TEST_F(VideoRenderTest, FullHdPictureShowsWholeOrAtTheWindowsSize) {
    render.StartRender();
    EXPECT_EQ(render.GetBufferSize(), VideoRender::kDefaultBufferSize);
    Show(1, 0); // small picture first
    auto frame = MakeFrame(1920, 1080, 77);
    render.SubmitPicture(frame.get(), 40000);
    ASSERT_TRUE(target.WaitCalls(2));
    EXPECT_EQ(render.GetBufferSize(), 12u + 1920u * 1080u * 4u);
    std::vector<uint32_t> expected(1920 * 1080);
    ToRGB32Reference(frame->data, frame->linesize, 1920, 1080, expected.data());
    EXPECT_TRUE(target.keepPixels == expected);

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
    EXPECT_EQ(std::make_pair(d[2].width, d[2].height), std::make_pair(300, 270));
    EXPECT_EQ(target.keepPixels, std::vector<uint32_t>(300 * 270, Gray(100)));
}
