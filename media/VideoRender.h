#pragma once

#include "media/PictureScaler.h"
#include "platform/NamedMutex.h"
#include "platform/RenderTarget.h"
#include "session/FrameBufferList.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

struct AVFrame;

// Turns decoded pictures into 32-bit RGB, queues up to ten of them and runs a
// render thread that paces them by their time stamps (RenderPacer) and hands
// each one to the pane's RenderTarget.
//
// A queued picture is the header {due time (ms), width, height} followed by the
// pixels. The queue starts with buffers for 1280 x 720 and is made anew, with
// buffers sized to the picture, when a larger one arrives; pictures are
// limited to kMaxPixels. A picture is brought to the size its window shows it
// at (PictureScaler) before it is converted, so the window only copies it. Queues are allocated outside the
// "HandleRender" lock, which every pane shares, and pictures are converted outside it too: only the decode thread that
// starts and stops a renderer submits to it, so its queue cannot go away during a conversion.
class VideoRender {
public:
    static constexpr uint32_t kQueueLength = 10;
    static constexpr uint32_t kHeaderBytes = 12;
    static constexpr uint32_t kDefaultBufferSize = kHeaderBytes + 1280 * 720 * 4; // 3,686,412
    static constexpr uint64_t kMaxPixels = 4096ull * 2160ull;

    VideoRender();
    ~VideoRender();
    VideoRender(const VideoRender&) = delete;
    VideoRender& operator=(const VideoRender&) = delete;

    void SetWindow(RenderTarget* window);
    void StartRender();
    void StopRender();
    // Converts the picture (planar 4:2:0 only) into the next free buffer; a
    // picture that finds no free buffer, or has another layout, is dropped.
    void SubmitPicture(const AVFrame* frame, uint32_t timestamp);

    // The sound of `timestamp` is heard at tick `heardAt`: pacing keeps the
    // pictures in step with it (RenderPacer). Any thread.
    void NoteSound(uint32_t timestamp, uint32_t heardAt);

    // Pictures dropped because of their layout or size.
    uint32_t GetDroppedPictures() const { return m_droppedPictures.load(); }
    // The picture buffers' size now (0 while stopped).
    uint32_t GetBufferSize();

    // Tells the window to forget its picture (the pane goes back to its
    // near-black fill). For the pane's owner, while stopped.
    void ClearWindow();

    // Replaces the tick source and the sleep of the render thread (tests);
    // call while stopped.
    void SetClock(std::function<uint32_t()> tick, std::function<void(uint32_t)> sleep);

private:
    static std::unique_ptr<FrameBufferList> MakeQueue(uint32_t bufferSize);
    void StopRenderLocked();
    void StartRenderLocked(std::unique_ptr<FrameBufferList> queue);
    // Makes the queue anew for pictures of `needed` bytes; false when it cannot run.
    bool GrowQueue(uint32_t needed);
    void RenderThread();
    bool StopRequested();
    // Waits until due, woken at once by a stop (false then). With a clock set
    // by SetClock it sleeps in steps of at most 10 ms instead.
    bool WaitFor(uint32_t milliseconds);

    std::atomic<RenderTarget*> m_window{nullptr};
    std::unique_ptr<FrameBufferList> m_pictureQueue;
    NamedMutex m_exitLock{"RenderExit"};
    std::condition_variable_any m_stopped; // signalled under m_exitLock when the stop flag is set
    std::atomic<uint8_t> m_stopFlag{1};
    NamedMutex m_objectLock{"HandleRender"};
    std::thread m_thread;
    std::atomic<uint32_t> m_droppedPictures{0};
    std::function<uint32_t()> m_tick;
    std::function<void(uint32_t)> m_sleep;
    bool m_steadyClock = true;        // no SetClock: WaitFor waits on m_stopped
    PictureScaler m_scaler;           // the decode thread's, in SubmitPicture
    std::atomic<uint64_t> m_sound{0}; // the latest NoteSound, timestamp << 32 | tick; 0 = none
};
