#pragma once

#include "platform/NamedMutex.h"
#include "platform/WaveOut.h"
#include "session/FrameBufferList.h"

#include <atomic>
#include <cstdint>
#include <memory>

// Plays blocks of samples on the default output, as 16-bit PCM, mono, 8000
// samples per second. Each of the ten pool buffers holds a 32-byte WaveOut
// header followed by a data area of 51,200 bytes; a buffer is busy from the
// write of a block until the device reports it played, and the done callback
// recycles it. Blocks finish in the order written, so the buffer recycled is
// always the head of the pool.
class WavePlayer {
public:
    static constexpr uint32_t kBufferCount = 10;
    static constexpr uint32_t kHeaderSize = sizeof(WaveOutHeader);
    static constexpr uint32_t kBufferSize = 51232;
    static constexpr uint32_t kDataSize = kBufferSize - kHeaderSize; // 51,200
    static constexpr int kSampleFloat = 1;
    static constexpr int kSamplePcm16 = 3;

    WavePlayer();
    ~WavePlayer();
    WavePlayer(const WavePlayer&) = delete;
    WavePlayer& operator=(const WavePlayer&) = delete;

    int OpenOutput();
    // Queues one block. Sample type 1: 32-bit floats (byteCount / 4 of them),
    // scaled by 32768 and saturated to 16 bits; type 3: 16-bit PCM, copied.
    // The channel count and rate are ignored. Returns -1 when closed, when all
    // buffers are queued, or when the block does not fit a buffer.
    int WriteSamples(int sampleType, const void* source, uint32_t byteCount, int channels, int sampleRate);
    // Discards whatever is still queued and closes the device.
    int CloseOutput();

    // Blocks written and not yet played.
    uint32_t GetQueuedBlocks() const { return m_queued.load(); }
    // Milliseconds until a block written now starts to be heard: what is
    // queued before it, and the device's own buffer.
    uint32_t GetDelayMs();

private:
    static void OnWaveOut(WaveOut* device, uint32_t message, void* instance, WaveOutHeader* header);

    std::unique_ptr<FrameBufferList> m_pool;
    NamedMutex m_lock{"WavePlayer"};
    WaveOut m_device;
    int m_deviceId = -1; // the default output device
    WaveOutFormat m_format;
    std::atomic<uint32_t> m_queued{0};
};
