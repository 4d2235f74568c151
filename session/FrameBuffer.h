#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

enum FrameBufferState : int32_t {
    BUF_FREE = 0,
    BUF_READY = 1,
    BUF_BUSY = 2,
};

// One pooled buffer of a FrameBufferList. Only the thread that holds it in
// BUF_BUSY touches its data, length and timestamp; the state belongs to the list.
class FrameBuffer {
public:
    // zeroFill false leaves the storage as allocated: for buffers that are
    // always written in full before they are read.
    explicit FrameBuffer(uint32_t capacity, bool zeroFill = true);
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    uint8_t* GetData() { return m_data.get(); }
    const uint8_t* GetData() const { return m_data.get(); }
    uint32_t GetCapacity() const { return m_capacity; }
    uint32_t GetLength() const { return m_length; }
    void SetLength(uint32_t length) { m_length = length; }
    uint32_t GetTimestamp() const { return m_timestamp; }
    void SetTimestamp(uint32_t timestamp) { m_timestamp = timestamp; }
    int32_t GetState() const { return m_state.load(std::memory_order_acquire); }

private:
    friend class FrameBufferList;
    void SetState(int32_t state) { m_state.store(state, std::memory_order_release); }

    std::unique_ptr<uint8_t[]> m_data;
    uint32_t m_capacity;
    uint32_t m_length = 0;
    uint32_t m_timestamp = 0;
    std::atomic<int32_t> m_state{BUF_FREE};
};
