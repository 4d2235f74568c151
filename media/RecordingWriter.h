#pragma once

#include "media/FrameTimeline.h"
#include "media/Mp4File.h"
#include "media/Mp4Recorder.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What the recorder's writer thread does with each received frame: it turns
// the frames into samples of "LiveVideo-<local date and time>.mp4" files in
// one folder (the current one at Open), timed by their stamps.
//
// Every file begins at a key frame whose SPS and PPS are known; the newest
// sound from before it is held, and kept when its stamps fall after that
// frame. When the parameter sets change (a new picture size) the file is
// finished and the recording goes on in a new one from the next key frame;
// sound stamped before the change, which comes a little later than the
// pictures, still goes into the finished file until the sound has caught up.
class RecordingWriter {
public:
    // Told the name of the file now being written ("" when a file is removed
    // because it got no media).
    using NameHandler = std::function<void(const std::string& name)>;

    explicit RecordingWriter(NameHandler onName);
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Creates the first file in the current folder; false when it cannot.
    bool Open();
    // One received frame; false when a file could not be written.
    bool Video(const uint8_t* frame, uint32_t length, uint32_t timestamp);
    bool Audio(const uint8_t* frame, uint32_t length, uint32_t timestamp);
    // Finishes the files (after a failure, as far as they can be); false
    // when anything failed.
    bool Close();
    // Bytes of the index written when the last file was finished.
    uint64_t GetIndexBytes() const { return m_indexBytes; }

private:
    struct Output {
        Mp4File file;
        FrameTimeline timeline;
        std::string name;
    };
    struct HeldAudio {
        uint8_t data[Mp4Recorder::kAudioBufferSize];
        uint32_t length;
        uint32_t timestamp;
    };
    static constexpr size_t kHeldAudioFrames = 8;

    bool OpenOutput(Output& out);
    bool CloseOutput(Output& out);
    bool NewStreamConfiguration() const;
    bool ReadyToBegin(uint32_t timestamp);
    void KeepParameterSets();
    void Begin(Output& out, uint32_t timestamp);
    bool PlaceAudio(Output& out, const uint8_t* frame, uint32_t length, uint32_t timestamp);
    void Hold(const uint8_t* frame, uint32_t length, uint32_t timestamp);
    bool AddHeldAudio();

    NameHandler m_onName;
    std::unique_ptr<uint8_t[]> m_sample;
    H264FrameParts m_parts;
    uint8_t m_sps[H264FrameParts::kParameterSetCapacity] = {};
    uint32_t m_spsLength = 0;
    uint8_t m_pps[H264FrameParts::kParameterSetCapacity] = {};
    uint32_t m_ppsLength = 0;
    int m_folder = -1;
    Output m_outputs[2];
    Output* m_now = &m_outputs[0];
    Output* m_before = &m_outputs[1]; // the file a stream change finished, open for late sound
    uint32_t m_splitStamp = 0;
    bool m_waitingForKey = false; // parameter sets known, no key frame yet
    uint32_t m_waitStamp = 0;     // since this frame
    std::array<HeldAudio, kHeldAudioFrames> m_held;
    size_t m_heldCount = 0;
    uint64_t m_indexBytes = 0;
};
