#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// SHA-256 (FIPS 180-4), fed in pieces of any size.
class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

    static std::string Hex(std::string_view data);

    // Hashes the file at `path` and, when `sync` is set, flushes it to disk
    // through the same descriptor. False (with `error` = errno) when it cannot
    // be read or synced.
    static bool HashFile(const std::string& path, bool sync, std::string& hex, int& error);

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer{};
    size_t m_buffered = 0;
    uint64_t m_length = 0;
};
