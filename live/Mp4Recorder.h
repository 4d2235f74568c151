#pragma once

#include "FrameBufferList.h"
#include "NamedMutex.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// What SplitH264Frame finds in one Annex B frame: the last SPS and PPS (each
// at most kParameterSetCapacity bytes, header byte included) and the sample,
// every other NAL unit but SEI and AUD, each behind its 4-byte big-endian
// length. Lengths stay 0 for what the frame does not hold.
struct H264FrameParts {
    static constexpr uint32_t kParameterSetCapacity = 100;

    uint8_t sps[kParameterSetCapacity];
    uint32_t spsLength = 0;
    uint8_t pps[kParameterSetCapacity];
    uint32_t ppsLength = 0;
    uint8_t* sample = nullptr; // storage of sampleCapacity bytes, the caller's
    uint32_t sampleCapacity = 0;
    uint32_t sampleLength = 0;
    bool keyFrame = false; // the sample holds an IDR slice
};

// Writes a pane's stream, as received, into an MP4 file in the current
// directory: one H.264 track (avc1, time scale 90000) and one AAC track
// (8000 Hz, mono, configuration 0x15 0x88), without re-encoding. The decoder
// threads push copies of the raw frames; a writer thread waits for the first
// frame with an SPS and a PPS, creates "LiveVideo-<local date and time>.mp4"
// (never replacing a file: a taken name gets a suffix -2, -3, ...) and writes
// the samples with times from the frames' time stamps.
//
// The file is fragmented MP4 (a fragment at each key frame and at least one a
// second), so a recording cut off at any moment plays up to its last fragment.
class Mp4Recorder {
public:
    static constexpr uint32_t kVideoBuffers = 10;
    static constexpr uint32_t kVideoBufferSize = 48000;
    static constexpr uint32_t kAudioBuffers = 50;
    static constexpr uint32_t kAudioBufferSize = 1024;
    static constexpr uint32_t kSampleBufferSize = 500000;
    static constexpr uint32_t kMovieTimeScale = 90000;
    static constexpr uint32_t kVideoTimeScale = 90000;
    static constexpr uint32_t kVideoSampleDuration = 6000;
    static constexpr uint32_t kAudioTimeScale = 8000;
    static constexpr uint32_t kAudioSampleDuration = 1024;

    Mp4Recorder();
    ~Mp4Recorder();
    Mp4Recorder(const Mp4Recorder&) = delete;
    Mp4Recorder& operator=(const Mp4Recorder&) = delete;

    int Start();
    int Stop();
    int PushVideo(const uint8_t* data, uint32_t length, uint32_t timestamp);
    int PushAudio(const uint8_t* data, uint32_t length, uint32_t timestamp);

    // The name of the file this recorder last created (empty before).
    std::string GetFileName();

    static void SplitH264Frame(const uint8_t* frame, uint32_t length, H264FrameParts& parts);

private:
    class Writer;
    friend class Writer;
    bool ExitRequested();
    void WriterThread();
    int Push(FrameBufferList* queue, const uint8_t* data, uint32_t length, uint32_t timestamp);

    NamedMutex m_exitMutex{"HandleWriterExit"};
    std::atomic<uint8_t> exitFlag{1};
    std::unique_ptr<FrameBufferList> videoQueue;
    std::unique_ptr<FrameBufferList> audioQueue;
    NamedMutex m_controlMutex{"HandleWriter"};
    std::thread m_writerThread;
    std::mutex m_nameMutex;
    std::string m_fileName;
};
