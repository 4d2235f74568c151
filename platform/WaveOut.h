#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

// Messages a WaveOut callback receives; only WOM_DONE carries a header.
constexpr uint32_t WOM_OPEN = 0x3BB;
constexpr uint32_t WOM_CLOSE = 0x3BC;
constexpr uint32_t WOM_DONE = 0x3BD;

// PCM format of a playback device: channels of 8-bit unsigned or 16-bit
// signed little-endian samples.
struct WaveOutFormat {
    uint16_t formatTag = 1; // PCM
    uint16_t channels = 1;
    uint32_t samplesPerSec = 8000;
    uint32_t avgBytesPerSec = 16000;
    uint16_t blockAlign = 2;
    uint16_t bitsPerSample = 16;
    uint16_t extraSize = 0;
};

// One block to play, 32 bytes. The caller owns the header and the memory it
// points at; between Write and its return through the callback the device
// owns both.
struct WaveOutHeader {
    static constexpr uint32_t kDone = 0x01;
    static constexpr uint32_t kPrepared = 0x02;
    static constexpr uint32_t kInQueue = 0x10;

    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesPlayed = 0;
    void* user = nullptr;
    uint32_t flags = 0;
    uint32_t loops = 0;
};
static_assert(sizeof(WaveOutHeader) == 32);

class WaveOut;
using WaveOutCallback = void (*)(WaveOut* device, uint32_t message, void* instance, WaveOutHeader* header);

// The loudspeaker, the stand-in for a waveform-output device over SDL2
// playback (callback API).
//
// Written blocks play one after the other in the order written; each finished
// block is handed back through the callback with WOM_DONE, in that order, on
// SDL's audio thread. With nothing queued the device plays silence. Pause()
// holds playback where it is, Restart() resumes it; Reset() hands every queued
// block back at once, in order, on the calling thread. The callback must not
// call Pause, Reset or Close.
//
// All operations return 0 on success and -1 on failure.
class WaveOut {
public:
    WaveOut() = default;
    ~WaveOut();
    WaveOut(const WaveOut&) = delete;
    WaveOut& operator=(const WaveOut&) = delete;

    int Open(const WaveOutFormat& format, WaveOutCallback callback, void* instance);
    int PrepareHeader(WaveOutHeader* header);
    int UnprepareHeader(WaveOutHeader* header);
    int Write(WaveOutHeader* header);
    int Pause();
    int Restart();
    int Reset();
    int Close();

    bool IsOpen() const { return m_device != 0; }

    // Bytes written and not yet handed to the device's own buffer.
    uint32_t GetQueuedBytes();
    // How long the device still plays what it took last: its period (the
    // time a sample handed to it takes to be heard) less the time since it
    // asked for it; the whole period before it first asks.
    uint32_t GetDevicePlayingMs() const;

private:
    static void AudioCallback(void* userdata, uint8_t* stream, int len);
    void OnPlay(uint8_t* stream, uint32_t len);

    uint32_t m_device = 0; // SDL_AudioDeviceID; 0 = closed
    uint8_t m_silence = 0;
    uint32_t m_latencyMs = 0;
    std::atomic<int64_t> m_lastTakeUs{-1}; // steady clock, when the device last asked for sound
    WaveOutCallback m_callback = nullptr;
    void* m_instance = nullptr;
    std::mutex m_mutex;                 // guards m_queue and the headers in it
    std::deque<WaveOutHeader*> m_queue; // blocks the device holds, playing the front one
};
