#pragma once

#include "platform/NamedMutex.h"
#include "platform/WaveIn.h"

#include <cstdint>
#include <memory>

class AudioEncoder;
class FrameBufferList;

// The talk-back microphone of one pane. StartCapture opens the default input
// device (mono, 8000 samples per second, 8 bits, or 16 bits when 8 are
// refused) and cycles ten wave buffers of 1024 samples through it: each
// finished buffer is copied into the encoder's input queue and handed back to
// the device while recording. StopCapture ends the cycle; the blocks still
// held by the device are passed on as they are.
//
// Locks: "Speaker" guards StartCapture / StopCapture, "SpeakerStatus" the
// recording flag. The capture callback takes only "SpeakerStatus", so
// StopCapture may hold "Speaker" while the device returns its buffers.
class Speaker {
public:
    static constexpr uint32_t kBufferCount = 10;
    static constexpr uint32_t kBlockSamples = 1024;
    static constexpr uint32_t kHeaderSize = 32; // each pool buffer: header, then data

    Speaker();
    ~Speaker();
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;

    // Called once, before any capture; the encoder is not owned.
    void SetEncoder(AudioEncoder* encoder);

    int StartCapture();
    int StopCapture();

    // Bits per sample of the open device (8 or 16); 0 while closed. For tests.
    uint16_t GetBitsPerSample();

private:
    static void WaveInProc(WaveIn* device, uint32_t message, void* instance, WaveInHeader* header);
    void OnData(WaveInHeader* header);
    static WaveInHeader* HeaderOf(uint8_t* bufferData);

    NamedMutex m_mutex{"Speaker"};
    NamedMutex m_statusMutex{"SpeakerStatus"};
    uint8_t m_recording = 0; // guarded by m_statusMutex
    std::unique_ptr<FrameBufferList> m_pool;
    AudioEncoder* m_encoder = nullptr;
    WaveIn m_device; // the system's default input device
    WaveInFormat m_format;
};
