#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Builds MP4 (ISO base media) boxes in memory: big-endian fields, and boxes
// whose 32-bit size is filled in when they are closed. Clear() keeps the
// capacity, so a writer reused for every fragment allocates only while it
// grows to its working size.
class Mp4BoxWriter {
public:
    static constexpr size_t kMaxDepth = 12;

    void Clear();
    void Reserve(size_t bytes);

    void U8(uint32_t value);
    void U16(uint32_t value);
    void U32(uint32_t value);
    void U64(uint64_t value);
    void Type(const char (&type)[5]);
    void Bytes(const uint8_t* data, size_t length);
    void Zeros(size_t count);
    // A 32-bit field whose value is known only later (PatchU32).
    size_t Placeholder();
    void PatchU32(size_t at, uint32_t value);

    // Opens a box; each Open is matched by one Close, innermost first.
    void Open(const char (&type)[5]);
    // A full box: version and 24-bit flags follow the type.
    void OpenFull(const char (&type)[5], uint8_t version, uint32_t flags);
    void Close();

    const uint8_t* Data() const { return m_bytes.data(); }
    size_t Size() const { return m_bytes.size(); }

private:
    std::vector<uint8_t> m_bytes;
    std::array<size_t, kMaxDepth> m_open{};
    size_t m_depth = 0;
};
