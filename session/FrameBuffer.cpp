#include "session/FrameBuffer.h"

FrameBuffer::FrameBuffer(uint32_t capacity, bool zeroFill)
    : m_data(zeroFill ? std::make_unique<uint8_t[]>(capacity) : std::make_unique_for_overwrite<uint8_t[]>(capacity)),
      m_capacity(capacity) {}
