#include "VideoRender.h"

#include "Tick.h"
#include "ToRGB32.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <system_error>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

VideoRender::VideoRender() : m_tick(GetTickCount), m_sleep(Sleep) {}

VideoRender::~VideoRender() {
    StopRender();
}

void VideoRender::SetWindow(RenderTarget* window) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    m_window.store(window);
}

void VideoRender::SetClock(std::function<uint32_t()> tick, std::function<void(uint32_t)> sleep) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    m_tick = std::move(tick);
    m_sleep = std::move(sleep);
}

uint32_t VideoRender::GetBufferSize() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    return m_pictureQueue ? m_pictureQueue->GetBufferSize() : 0;
}

void VideoRender::StartRender() {
    StopRender();
    std::lock_guard<NamedMutex> guard(m_objectLock);
    StartRenderLocked(kDefaultBufferSize);
}

void VideoRender::StopRender() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    StopRenderLocked();
}

void VideoRender::StartRenderLocked(uint32_t bufferSize) {
    m_stopFlag.store(0);
    m_pictureQueue = std::make_unique<FrameBufferList>(kQueueLength, bufferSize);
    try {
        m_thread = std::thread(&VideoRender::RenderThread, this);
    } catch (const std::system_error&) {
        m_stopFlag.store(1);
        m_pictureQueue.reset();
    }
}

void VideoRender::StopRenderLocked() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<NamedMutex> exitGuard(m_exitLock);
            m_stopFlag.store(1);
        }
        m_thread.join();
    }
    m_pictureQueue.reset();
}

void VideoRender::SubmitPicture(const AVFrame* frame, uint32_t timestamp) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    if (m_stopFlag.load() != 0 || !frame || frame->width <= 0 || frame->height <= 0 || !m_pictureQueue)
        return;
    // Only planar 4:2:0 is read correctly; anything else would be misread.
    if (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P) {
        m_droppedPictures.fetch_add(1);
        return;
    }
    const uint64_t pixels = static_cast<uint64_t>(frame->width) * static_cast<uint64_t>(frame->height);
    if (pixels > kMaxPixels) {
        m_droppedPictures.fetch_add(1);
        return;
    }
    const uint32_t needed = kHeaderBytes + static_cast<uint32_t>(pixels * 4);
    if (needed > m_pictureQueue->GetBufferSize()) {
        // A larger picture than the buffers hold: make the queue anew for it.
        // The pictures still queued are lost, and the render thread starts a
        // new time base.
        StopRenderLocked();
        StartRenderLocked(needed);
        if (!m_pictureQueue)
            return;
    }
    FrameBuffer* buf = m_pictureQueue->AcquireFree();
    if (!buf)
        return;
    uint32_t header[3] = {timestamp / 1000, static_cast<uint32_t>(frame->width), static_cast<uint32_t>(frame->height)};
    std::memcpy(buf->GetData(), header, sizeof header);
    ToRGB32(frame->data, frame->linesize, frame->width, frame->height,
            reinterpret_cast<uint32_t*>(buf->GetData() + kHeaderBytes));
    buf->SetTimestamp(timestamp);
    buf->SetLength(needed);
    m_pictureQueue->MarkReady(buf);
}

bool VideoRender::StopRequested() {
    std::lock_guard<NamedMutex> exitGuard(m_exitLock);
    return m_stopFlag.load() == 1;
}

bool VideoRender::WaitUntil(uint32_t baseTick, uint64_t dueMs) {
    for (;;) {
        if (StopRequested())
            return false;
        uint32_t elapsed = m_tick() - baseTick;
        if (dueMs <= elapsed)
            return true;
        m_sleep(static_cast<uint32_t>(std::min<uint64_t>(dueMs - elapsed, 10)));
    }
}

void VideoRender::RenderThread() {
    // Pacing: the first picture is drawn at once and fixes the time base; each
    // later one is due at base + (its time stamp - the base picture's) / 1000 ms.
    // Time stamps are 32-bit microseconds from the device: their steps are
    // summed in 64 bits so a wrap of the counter does no harm, and a step
    // backwards or a picture due more than kMaxAheadMs ahead starts a new base.
    bool haveBase = false;
    uint32_t baseTick = 0;
    uint64_t sinceBaseUs = 0;
    uint32_t lastTimestamp = 0;
    FrameBufferList* queue = m_pictureQueue.get();
    while (!StopRequested()) {
        FrameBuffer* buf = queue->TakeReady();
        if (!buf) {
            m_sleep(20);
            continue;
        }
        uint32_t header[3];
        std::memcpy(header, buf->GetData(), sizeof header);
        const uint32_t timestamp = buf->GetTimestamp();
        const uint32_t now = m_tick();
        bool drawNow = true;
        if (haveBase && static_cast<int32_t>(timestamp - lastTimestamp) >= 0) {
            sinceBaseUs += timestamp - lastTimestamp;
            const uint64_t dueMs = sinceBaseUs / 1000;
            const uint32_t elapsed = now - baseTick;
            if (dueMs > elapsed && dueMs - elapsed > kMaxAheadMs)
                haveBase = false;
            else if (dueMs > elapsed)
                drawNow = WaitUntil(baseTick, dueMs);
        } else {
            haveBase = false;
        }
        if (!haveBase) {
            haveBase = true;
            baseTick = now;
            sinceBaseUs = 0;
        }
        lastTimestamp = timestamp;
        RenderTarget* window = m_window.load();
        if (drawNow && window) {
            // A picture the target cannot take is skipped.
            window->DrawPicture(reinterpret_cast<const uint32_t*>(buf->GetData() + kHeaderBytes),
                                static_cast<int>(header[1]), static_cast<int>(header[2]));
        }
        queue->Recycle(buf);
    }
}
