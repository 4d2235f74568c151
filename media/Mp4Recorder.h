#pragma once

#include "p2p/Protocol.h"
#include "platform/NamedMutex.h"
#include "session/FrameBufferList.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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

// Writes a pane's stream, as received, into MP4 files in the folder that is
// current at Start: one H.264 track and one AAC track, without re-encoding.
// Start creates "LiveVideo-<local date and time>.mp4" (never replacing a
// file: a taken name gets a suffix -2, -3, ...), so a folder that cannot take
// it fails the start. The decoder threads push copies of the raw frames; a
// writer thread waits for the first frame with an SPS and a PPS and writes
// the samples with times from the frames' time stamps (RecordingWriter):
// fragments while recording, a plain MP4 at every clean stop. When the
// stream's parameter sets change (a new picture size), the file is finished
// and the recording goes on in a new one.
//
// A file that cannot be written (disk full, folder removed) ends the writer
// thread: what the file holds is finalised as far as possible, HasFailed()
// turns true, the failure handler is called on the writer thread (unless a
// Stop is already under way) and Stop() returns -1. Start() after Stop()
// begins a new recording either way.
class RecordingWriter;

class Mp4Recorder {
public:
    // Every frame the transport carries fits; the queue is not cleared, so
    // only the pages frames touch become resident.
    static constexpr uint32_t kVideoBuffers = 10;
    static constexpr uint32_t kVideoBufferSize = p2p::kMaxFrameSize;
    static constexpr uint32_t kAudioBuffers = 50;
    static constexpr uint32_t kAudioBufferSize = 1024;
    // A sample replaces each start code (3 bytes at least) by a 4-byte length.
    static constexpr uint32_t kSampleBufferSize = kVideoBufferSize + kVideoBufferSize / 3 + 4;

    Mp4Recorder();
    ~Mp4Recorder();
    Mp4Recorder(const Mp4Recorder&) = delete;
    Mp4Recorder& operator=(const Mp4Recorder&) = delete;

    // 0 when a writer thread runs afterwards; -1 when the file cannot be
    // created or the thread cannot be started.
    int Start();
    // 0, or -1 when the recording it ended had failed.
    int Stop();
    int PushVideo(const uint8_t* data, uint32_t length, uint32_t timestamp);
    int PushAudio(const uint8_t* data, uint32_t length, uint32_t timestamp);

    // Called on the writer thread when a recording fails while running; it
    // must return quickly and must not call Start or Stop (post a message).
    void SetFailureHandler(std::function<void()> handler);
    // The current or last recording failed.
    bool HasFailed() const { return m_failed.load(); }
    // The name of the file this recorder last wrote to (empty before, and
    // when that recording left no file).
    std::string GetFileName();

    static void SplitH264Frame(const uint8_t* frame, uint32_t length, H264FrameParts& parts);

private:
    bool ExitRequested();
    void WriterThread();
    void SetFileName(const std::string& name);
    int Push(FrameBufferList* queue, const uint8_t* data, uint32_t length, uint32_t timestamp);

    NamedMutex m_exitMutex{"HandleWriterExit"};
    std::atomic<uint8_t> exitFlag{1};
    std::unique_ptr<FrameBufferList> videoQueue;
    std::unique_ptr<FrameBufferList> audioQueue;
    NamedMutex m_controlMutex{"HandleWriter"};
    std::thread m_writerThread;
    std::unique_ptr<RecordingWriter> m_writer; // the writer thread's files, from Start to Stop
    std::atomic<bool> m_failed{false};
    std::mutex m_handlerMutex;
    std::function<void()> m_failureHandler;
    std::mutex m_nameMutex;
    std::string m_fileName;
};
