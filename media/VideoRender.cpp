#include "media/VideoRender.h"

#include "media/RenderPacer.h"
#include "media/ToRGB32.h"
#include "platform/ThreadName.h"
#include "platform/Tick.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>

namespace {
constexpr uint32_t kWaitMs = 500; // for a picture; a stop ends the wait at once
} // namespace

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

void VideoRender::ClearWindow() {
    if (RenderTarget* window = m_window.load())
        window->ClearPicture();
}

void VideoRender::SetClock(std::function<uint32_t()> tick, std::function<void(uint32_t)> sleep) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    m_tick = std::move(tick);
    m_sleep = std::move(sleep);
    m_steadyClock = false;
}

uint32_t VideoRender::GetBufferSize() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    return m_pictureQueue ? m_pictureQueue->GetBufferSize() : 0;
}

std::unique_ptr<FrameBufferList> VideoRender::MakeQueue(uint32_t bufferSize) {
    // Every picture is written in full before it is read: no zero-filling.
    return std::make_unique<FrameBufferList>(kQueueLength, bufferSize, false);
}

void VideoRender::StartRender() {
    StopRender();
    std::unique_ptr<FrameBufferList> queue = MakeQueue(kDefaultBufferSize);
    std::lock_guard<NamedMutex> guard(m_objectLock);
    StartRenderLocked(std::move(queue));
}

void VideoRender::StopRender() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    StopRenderLocked();
}

void VideoRender::StartRenderLocked(std::unique_ptr<FrameBufferList> queue) {
    m_stopFlag.store(0);
    m_pictureQueue = std::move(queue);
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
            m_stopped.notify_all();
        }
        if (m_pictureQueue)
            m_pictureQueue->WakeWaiters();
        m_thread.join();
    }
    m_pictureQueue.reset();
}

bool VideoRender::GrowQueue(uint32_t needed) {
    // The pictures still queued are lost, and the render thread starts a new
    // time base with the first picture of the new queue.
    std::unique_ptr<FrameBufferList> queue = MakeQueue(needed);
    std::lock_guard<NamedMutex> guard(m_objectLock);
    if (m_stopFlag.load() != 0)
        return false;
    StopRenderLocked();
    StartRenderLocked(std::move(queue));
    return m_pictureQueue != nullptr;
}

void VideoRender::SubmitPicture(const AVFrame* frame, uint32_t timestamp) {
    if (!frame || frame->width <= 0 || frame->height <= 0)
        return;
    // Only planar 4:2:0 is read correctly; anything else would be misread.
    const uint64_t pixels = static_cast<uint64_t>(frame->width) * static_cast<uint64_t>(frame->height);
    if ((frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P) || pixels > kMaxPixels) {
        m_droppedPictures.fetch_add(1);
        return;
    }
    PlanarPicture decoded;
    for (int p = 0; p < 3; ++p) {
        decoded.data[p] = frame->data[p];
        decoded.lineSize[p] = frame->linesize[p];
    }
    decoded.width = frame->width;
    decoded.height = frame->height;
    int shownWidth = 0, shownHeight = 0;
    if (RenderTarget* window = m_window.load())
        window->GetDrawSize(shownWidth, shownHeight);
    const PlanarPicture& picture = m_scaler.Scale(decoded, shownWidth, shownHeight);

    const uint32_t needed =
        kHeaderBytes + static_cast<uint32_t>(picture.width) * static_cast<uint32_t>(picture.height) * 4;
    FrameBufferList* queue;
    FrameBuffer* buf;
    {
        std::lock_guard<NamedMutex> guard(m_objectLock);
        if (m_stopFlag.load() != 0 || !m_pictureQueue)
            return;
        queue = m_pictureQueue.get();
        buf = needed <= queue->GetBufferSize() ? queue->AcquireFree() : nullptr;
    }
    if (needed > queue->GetBufferSize()) {
        if (!GrowQueue(needed))
            return;
        std::lock_guard<NamedMutex> guard(m_objectLock);
        queue = m_pictureQueue.get();
        buf = queue->AcquireFree();
    }
    if (!buf)
        return; // the render thread is a queue behind: the picture is dropped
    uint32_t header[3] = {timestamp / 1000, static_cast<uint32_t>(picture.width),
                          static_cast<uint32_t>(picture.height)};
    std::memcpy(buf->GetData(), header, sizeof header);
    ToRGB32(picture.data, picture.lineSize, picture.width, picture.height,
            reinterpret_cast<uint32_t*>(buf->GetData() + kHeaderBytes));
    buf->SetTimestamp(timestamp);
    buf->SetLength(needed);
    queue->MarkReady(buf);
}

void VideoRender::NoteSound(uint32_t timestamp, uint32_t heardAt) {
    m_sound.store((static_cast<uint64_t>(timestamp) << 32) | heardAt | 1u); // never 0
}

bool VideoRender::StopRequested() {
    std::lock_guard<NamedMutex> exitGuard(m_exitLock);
    return m_stopFlag.load() == 1;
}

bool VideoRender::WaitFor(uint32_t milliseconds) {
    const uint32_t start = m_tick();
    std::unique_lock<NamedMutex> exitGuard(m_exitLock);
    for (;;) {
        if (m_stopFlag.load() == 1)
            return false;
        const uint32_t elapsed = m_tick() - start;
        if (elapsed >= milliseconds)
            return true;
        const uint32_t left = milliseconds - elapsed;
        if (m_steadyClock) {
            // One wake-up per picture, not one every few milliseconds.
            m_stopped.wait_for(exitGuard, std::chrono::milliseconds(left));
            continue;
        }
        exitGuard.unlock();
        m_sleep(std::min<uint32_t>(left, 10));
        exitGuard.lock();
    }
}

void VideoRender::RenderThread() {
    NameThisThread("vantor-render");
    RenderPacer pacer(kQueueLength);
    FrameBufferList* queue = m_pictureQueue.get();
    uint64_t soundSeen = m_sound.load();
    while (!StopRequested()) {
        FrameBuffer* buf = queue->WaitReady(kWaitMs, [this] { return m_stopFlag.load() == 1; });
        if (!buf)
            continue;
        const uint64_t sound = m_sound.load();
        if (sound != soundSeen) {
            soundSeen = sound;
            pacer.NoteSound(static_cast<uint32_t>(sound >> 32), static_cast<uint32_t>(sound));
        }
        uint32_t header[3];
        std::memcpy(header, buf->GetData(), sizeof header);
        const uint32_t wait = pacer.Schedule(buf->GetTimestamp(), m_tick(), queue->GetReadyCount());
        const bool drawNow = wait == 0 || WaitFor(wait);
        RenderTarget* window = m_window.load();
        if (drawNow && window) {
            // A picture the target cannot take is skipped.
            window->DrawPicture(reinterpret_cast<const uint32_t*>(buf->GetData() + kHeaderBytes),
                                static_cast<int>(header[1]), static_cast<int>(header[2]));
        }
        queue->Recycle(buf);
    }
}
