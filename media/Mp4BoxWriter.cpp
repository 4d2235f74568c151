#include "media/Mp4BoxWriter.h"

#include <cassert>

void Mp4BoxWriter::Clear() {
    m_bytes.clear();
    m_depth = 0;
}

void Mp4BoxWriter::Reserve(size_t bytes) {
    m_bytes.reserve(bytes);
}

void Mp4BoxWriter::U8(uint32_t value) {
    m_bytes.push_back(static_cast<uint8_t>(value));
}

void Mp4BoxWriter::U16(uint32_t value) {
    U8(value >> 8);
    U8(value);
}

void Mp4BoxWriter::U32(uint32_t value) {
    U16(value >> 16);
    U16(value);
}

void Mp4BoxWriter::U64(uint64_t value) {
    U32(static_cast<uint32_t>(value >> 32));
    U32(static_cast<uint32_t>(value));
}

void Mp4BoxWriter::Type(const char (&type)[5]) {
    Bytes(reinterpret_cast<const uint8_t*>(type), 4);
}

void Mp4BoxWriter::Bytes(const uint8_t* data, size_t length) {
    m_bytes.insert(m_bytes.end(), data, data + length);
}

void Mp4BoxWriter::Zeros(size_t count) {
    m_bytes.insert(m_bytes.end(), count, 0);
}

size_t Mp4BoxWriter::Placeholder() {
    size_t at = m_bytes.size();
    U32(0);
    return at;
}

void Mp4BoxWriter::PatchU32(size_t at, uint32_t value) {
    m_bytes[at] = static_cast<uint8_t>(value >> 24);
    m_bytes[at + 1] = static_cast<uint8_t>(value >> 16);
    m_bytes[at + 2] = static_cast<uint8_t>(value >> 8);
    m_bytes[at + 3] = static_cast<uint8_t>(value);
}

void Mp4BoxWriter::Open(const char (&type)[5]) {
    assert(m_depth < kMaxDepth);
    m_open[m_depth++] = Placeholder();
    Type(type);
}

void Mp4BoxWriter::OpenFull(const char (&type)[5], uint8_t version, uint32_t flags) {
    Open(type);
    U8(version);
    U8(flags >> 16);
    U16(flags);
}

void Mp4BoxWriter::Close() {
    assert(m_depth > 0);
    size_t start = m_open[--m_depth];
    PatchU32(start, static_cast<uint32_t>(m_bytes.size() - start));
}
