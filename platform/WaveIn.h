#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

// Messages a WaveIn callback receives; only WIM_DATA carries a header.
constexpr uint32_t WIM_OPEN = 0x3BE;
constexpr uint32_t WIM_CLOSE = 0x3BF;
constexpr uint32_t WIM_DATA = 0x3C0;

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// PCM format of a capture device: one or more channels of 8-bit unsigned or
// 16-bit signed little-endian samples.
struct WaveInFormat {
    uint16_t formatTag = 1; // PCM
    uint16_t channels = 1;
    uint32_t samplesPerSec = 8000;
    uint32_t avgBytesPerSec = 8000;
    uint16_t blockAlign = 1;
    uint16_t bitsPerSample = 8;
    uint16_t extraSize = 0;
};

// One capture buffer. The caller owns the header and the memory it points at;
// between AddBuffer and its return through the callback the device owns both.
struct WaveInHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0;
    void* user = nullptr;
    uint32_t flags = 0;
};

class WaveIn;
using WaveInCallback = void (*)(WaveIn* device, uint32_t message, void* instance, WaveInHeader* header);

// The microphone, the stand-in for a waveform-input device over SDL2 capture.
//
// Captured bytes fill the added buffers in the order they were added; a full
// buffer is handed back through the callback with WIM_DATA, on SDL's audio
// thread. Without a free buffer captured bytes are lost. Stop() hands back the
// partly filled current buffer, Reset() every buffer still held, both on the
// calling thread and each with what it holds. The callback may call AddBuffer
// but must not call Stop, Reset or Close.
//
// All operations return 0 on success and -1 on failure. Open() refuses
// formats other than PCM 8 or 16 bits, so a caller can fall back from one to
// the other.
class WaveIn {
public:
    WaveIn() = default;
    ~WaveIn();
    WaveIn(const WaveIn&) = delete;
    WaveIn& operator=(const WaveIn&) = delete;

    int Open(const WaveInFormat& format, WaveInCallback callback, void* instance);
    int PrepareHeader(WaveInHeader* header);
    int UnprepareHeader(WaveInHeader* header);
    int AddBuffer(WaveInHeader* header);
    int Start();
    int Stop();
    int Reset();
    int Close();

    bool IsOpen() const { return m_device != 0; }

private:
    static void AudioCallback(void* userdata, uint8_t* stream, int len);
    void OnCaptured(const uint8_t* stream, uint32_t len);
    void ReturnBuffers(std::deque<WaveInHeader*>& done);
    void Pause();

    uint32_t m_device = 0; // SDL_AudioDeviceID; 0 = closed
    WaveInCallback m_callback = nullptr;
    void* m_instance = nullptr;
    std::mutex m_mutex;                // guards m_queue and the headers in it
    std::deque<WaveInHeader*> m_queue; // buffers the device holds, filling the front one
};
