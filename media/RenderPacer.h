#pragma once

#include <cstdint>

// Decides when the render thread draws each picture, from the picture's time
// stamp (32-bit microseconds from the device) and the tick at which it is
// taken from the queue.
//
// The first picture is drawn at once and sets the time base: each later one is
// due at base + (its time stamp - the base picture's). Time stamp steps are
// summed in 64 bits, so a wrap of the counter does no harm; a step backwards
// or a picture due more than kMaxAheadMs ahead starts a new base.
//
// The base adapts so that the delay follows the arrival jitter, not the
// arrival of the first picture: a late picture is drawn at once; when every
// picture of a window of kWindow pictures has had to wait longer than half a
// frame interval, the base moves earlier by the shortest of those waits; and
// when the queue is half full the base moves so that the picture taken now is
// due now. Pictures are never skipped.
//
// Sound keeps the picture company: NoteSound() tells when the sound of a time
// stamp is heard. Sound always takes longer (a 128 ms audio frame is sent
// when it is complete), so when it would come more than kSoundLagLimitMs
// after its picture the base moves later until it comes kSoundLagTargetMs
// after it (unless the queue is half full), and the early moves above never
// take it past that target. This keeps sound within what a viewer does not
// notice (at most 45 ms ahead of the picture, 125 ms behind it) and close to
// the picture on the whole, at the cost of holding pictures for their sound
// (about the length of one audio frame). The sound's time comes from the
// player: what it holds and what the device has yet to play of its period.
class RenderPacer {
public:
    static constexpr uint32_t kMaxAheadMs = 1000;
    static constexpr uint32_t kWindow = 12;
    static constexpr int32_t kSoundLagTargetMs = 5;
    static constexpr int32_t kSoundLagLimitMs = 30;
    // A note older than this is forgotten (the sound has stopped).
    static constexpr uint32_t kSoundFreshMs = 2000;

    explicit RenderPacer(uint32_t queueLength) : m_queueLength(queueLength) {}

    // Milliseconds to wait before drawing the picture with `timestamp`, taken
    // from the queue at tick `now` with `queued` more pictures behind it; 0 =
    // draw at once.
    uint32_t Schedule(uint32_t timestamp, uint32_t now, uint32_t queued);

    // The sound of `timestamp` is heard at tick `heardAt`.
    void NoteSound(uint32_t timestamp, uint32_t heardAt);

    // The next picture starts a new time base.
    void Reset() { m_haveBase = false; }

private:
    void NewBase(uint32_t timestamp, uint32_t now);
    // How much later the last noted sound is heard than its picture would be
    // drawn; false without a fresh note.
    bool SoundLag(uint32_t now, int32_t& lagMs) const;

    uint32_t m_queueLength;
    bool m_haveBase = false;
    uint32_t m_baseTick = 0;
    uint64_t m_sinceBaseUs = 0;
    uint32_t m_lastTimestamp = 0;
    uint32_t m_intervalUs = 40000;
    uint32_t m_windowCount = 0;
    uint32_t m_windowMinWait = 0;
    bool m_haveSound = false;
    uint32_t m_soundTimestamp = 0;
    uint32_t m_soundTick = 0;
};
