#include "session/FrameBufferList.h"

#include "platform/Tick.h"

#include <algorithm>
#include <chrono>
#include <mutex>

FrameBufferList::FrameBufferList(uint32_t count, uint32_t size, bool zeroFill) : m_count(count), m_size(size) {
    for (uint32_t i = 0; i < count; ++i)
        m_buffers.push_back(std::make_unique<FrameBuffer>(size, zeroFill));
}

FrameBufferList::~FrameBufferList() {
    std::unique_lock<NamedMutex> guard(m_mutex);
    while (!m_buffers.empty()) {
        while (m_buffers.front()->GetState() == BUF_BUSY) {
            guard.unlock();
            Sleep(10);
            guard.lock();
        }
        m_buffers.pop_front();
    }
}

FrameBuffer* FrameBufferList::AcquireFree() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    for (auto& buf : m_buffers) {
        if (buf->GetState() == BUF_FREE) {
            buf->SetState(BUF_BUSY);
            return buf.get();
        }
    }
    return nullptr;
}

void FrameBufferList::MarkReady(FrameBuffer* buf) {
    std::lock_guard<NamedMutex> guard(m_mutex);
    auto it =
        std::find_if(m_buffers.begin(), m_buffers.end(), [buf](auto& candidate) { return candidate.get() == buf; });
    if (it == m_buffers.end())
        return;
    buf->SetState(BUF_READY);
    // Under the lock: once the head is ready, a waiting destructor may free the list.
    m_readyChanged.notify_all();
}

FrameBuffer* FrameBufferList::TakeHeadLocked() {
    if (m_buffers.empty())
        return nullptr;
    FrameBuffer* head = m_buffers.front().get();
    if (head->GetState() != BUF_READY)
        return nullptr;
    head->SetState(BUF_BUSY);
    return head;
}

FrameBuffer* FrameBufferList::TakeReady() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    return TakeHeadLocked();
}

FrameBuffer* FrameBufferList::WaitReady(uint32_t timeoutMs, const std::function<bool()>& giveUp) {
    std::unique_lock<NamedMutex> guard(m_mutex);
    FrameBuffer* head = TakeHeadLocked();
    if (head == nullptr && timeoutMs > 0) {
        m_readyChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this, &giveUp] {
            return (!m_buffers.empty() && m_buffers.front()->GetState() == BUF_READY) || (giveUp && giveUp());
        });
        head = TakeHeadLocked();
    }
    return head;
}

void FrameBufferList::WakeWaiters() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    m_readyChanged.notify_all();
}

uint32_t FrameBufferList::GetReadyCount() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    return static_cast<uint32_t>(
        std::count_if(m_buffers.begin(), m_buffers.end(), [](auto& buf) { return buf->GetState() == BUF_READY; }));
}

void FrameBufferList::Recycle(FrameBuffer* buf) {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (m_buffers.empty() || m_buffers.front().get() != buf)
        return;
    buf->SetState(BUF_FREE);
    m_buffers.splice(m_buffers.end(), m_buffers, m_buffers.begin());
}
