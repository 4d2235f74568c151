#pragma once

#include "platform/NamedMutex.h"
#include "session/FrameBuffer.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

// A fixed pool of equal buffers that hands frames from producers to one
// consumer in order, without allocating per frame.
//
// Producers: AcquireFree() the first free buffer, fill it, MarkReady() it. A
// producer never waits: with no free buffer it gets null and drops its frame.
// The consumer: TakeReady() returns the head only when it is ready (a ready
// buffer behind a head still being filled waits), and Recycle() puts the head
// back at the tail. Free buffers therefore always form the tail, and frames
// come out in the order producers took their buffers.
//
// A consumer that has nothing to do waits in WaitReady(), which MarkReady()
// ends at once, instead of polling.
//
// Every list of the process locks the one named mutex "bs buffer list". The
// destructor waits, in 10 ms steps, until no head buffer is held any more.
class FrameBufferList {
public:
    // zeroFill false: the buffers' storage is not cleared (see FrameBuffer).
    FrameBufferList(uint32_t count, uint32_t size, bool zeroFill = true);
    ~FrameBufferList();
    FrameBufferList(const FrameBufferList&) = delete;
    FrameBufferList& operator=(const FrameBufferList&) = delete;

    FrameBuffer* AcquireFree();
    void MarkReady(FrameBuffer* buf);
    FrameBuffer* TakeReady();
    // TakeReady, waiting at most timeoutMs for the head to become ready, or
    // until `giveUp` (asked under the list's lock) says to stop: a consumer
    // that sets its stop flag and then calls WakeWaiters is never missed.
    FrameBuffer* WaitReady(uint32_t timeoutMs, const std::function<bool()>& giveUp = {});
    void WakeWaiters();
    // Buffers marked ready and not yet taken.
    uint32_t GetReadyCount();
    void Recycle(FrameBuffer* buf);

    uint32_t GetCount() const { return m_count; }
    uint32_t GetBufferSize() const { return m_size; }

private:
    FrameBuffer* TakeHeadLocked();

    std::list<std::unique_ptr<FrameBuffer>> m_buffers; // head first
    uint32_t m_count;
    uint32_t m_size;
    NamedMutex m_mutex{"bs buffer list"};
    std::condition_variable_any m_readyChanged; // MarkReady wakes WaitReady
};
