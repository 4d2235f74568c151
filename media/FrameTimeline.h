#pragma once

#include <array>
#include <cstdint>

// Sample times of one recording, from the frames' 32-bit microsecond time
// stamps: one clock for picture and sound, which wraps every 71.6 minutes.
//
// Video frames come in decode order, each stamped with its presentation
// time. With B-frames those are not in order; the decode times are the
// presentation times in sorted order, `reorderDepth` frames behind (the
// first frames get decode times one nominal frame apart before that), so
// that no frame is decoded after it is shown. Decode times increase strictly
// and every sample lasts until the next one. Without reordering, a stamp
// that does not advance counts as one nominal frame after the previous one.
//
// Audio frames are placed by their own stamps: a frame that follows the
// previous one within kAudioToleranceUs is put right after it, moved toward
// its stamp by 1/kAudioSteering of the difference and at most kAudioStepUs
// (so a sound clock up to a few hundred ppm off the picture clock stays with
// the pictures for hours, with no sound dropped or inserted); a later frame
// leaves a gap, an earlier one (sound that would overlap) is left out, as is
// sound from before the recording's origin.
//
// The origin is the first video frame's decode time: video times are 90 kHz
// ticks from it, audio times samples from it.
class FrameTimeline {
public:
    static constexpr int kMaxReorderDepth = 16;
    static constexpr int64_t kAudioToleranceUs = 30000;
    static constexpr int64_t kAudioStepUs = 1000;
    static constexpr int64_t kAudioSteering = 8;
    // A step of the clock larger than this, either way, is a break in it (a
    // camera that restarted); the frames after it follow on without a gap.
    static constexpr int64_t kMaxStepUs = 30000000;

    // Starts the timeline at the first video frame of a recording.
    // frameUs: the nominal frame interval.
    void Begin(uint32_t timestamp, int reorderDepth, int64_t frameUs);
    bool HasBegun() const { return m_begun; }

    // Decode time and composition offset (presentation minus decode time,
    // never negative) of the next video frame, in 90 kHz ticks.
    void Video(uint32_t timestamp, int64_t& dts, uint32_t& offset);

    // Decode time in samples of an audio frame of `samples` samples at
    // `rate`; false when the frame is to be left out.
    bool Audio(uint32_t timestamp, uint32_t rate, uint32_t samples, int64_t& dts);

private:
    int64_t Extend(uint32_t timestamp);
    void PushPresentation(int64_t us);
    int64_t PopEarliest();

    bool m_begun = false;
    uint32_t m_lastStamp = 0;
    int64_t m_lastUs = 0;
    int64_t m_originUs = 0;
    int64_t m_frameUs = 40000;
    int m_reorderDepth = 0;
    int64_t m_videoFrames = 0;
    int64_t m_lastPts = 0;
    int64_t m_lastDts = -1;
    std::array<int64_t, kMaxReorderDepth + 1> m_reorder{}; // presentation times not yet used, sorted
    int m_reorderCount = 0;
    bool m_haveAudio = false;
    int64_t m_nextAudio = 0; // where the next frame goes when it follows on
};
