#include "FrameBufferList.h"

#include "Tick.h"

#include <mutex>

FrameBufferList::FrameBufferList(uint32_t count, uint32_t size) : m_count(count), m_size(size) {
    for (uint32_t i = 0; i < count; ++i)
        m_buffers.push_back(std::make_unique<FrameBuffer>(size));
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
    for (auto& candidate : m_buffers) {
        if (candidate.get() == buf) {
            buf->SetState(BUF_READY);
            return;
        }
    }
}

FrameBuffer* FrameBufferList::TakeReady() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (m_buffers.empty())
        return nullptr;
    FrameBuffer* head = m_buffers.front().get();
    if (head->GetState() != BUF_READY)
        return nullptr;
    head->SetState(BUF_BUSY);
    return head;
}

void FrameBufferList::Recycle(FrameBuffer* buf) {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (m_buffers.empty() || m_buffers.front().get() != buf)
        return;
    buf->SetState(BUF_FREE);
    m_buffers.splice(m_buffers.end(), m_buffers, m_buffers.begin());
}
