#pragma once

// Test helpers for temporary folders and for sound through SDL's disk audio
// driver: it reads the "microphone" from the raw file named by
// SDL_DISKAUDIOFILEIN, in real time, and plays into SDL_DISKAUDIOFILE.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantor-talk-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Makes SDL capture from `path` through the disk driver.
inline void UseCaptureFile(const std::filesystem::path& path) {
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILEIN", path.c_str(), 1);
}

// `seconds` of a sine tone at `frequency` Hz, 8000 samples per second, as
// unsigned 8-bit samples (silence is 128).
inline std::vector<uint8_t> ToneU8(double frequency, double seconds, double amplitude = 100.0) {
    const size_t count = static_cast<size_t>(seconds * 8000);
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint8_t>(std::lround(128.0 + amplitude * std::sin(2.0 * M_PI * frequency * i / 8000.0)));
    return out;
}

// The 16-bit little-endian samples of a raw sound file (what SDL's disk driver played).
inline std::vector<int16_t> ReadS16(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}
