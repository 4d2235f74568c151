#include "FrameBuffer.h"

FrameBuffer::FrameBuffer(uint32_t capacity) : m_data(new uint8_t[capacity]()), m_capacity(capacity) {}
