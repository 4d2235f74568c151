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
class RenderPacer {
public:
    static constexpr uint32_t kMaxAheadMs = 1000;
    static constexpr uint32_t kWindow = 12;

    explicit RenderPacer(uint32_t queueLength) : m_queueLength(queueLength) {}

    // Milliseconds to wait before drawing the picture with `timestamp`, taken
    // from the queue at tick `now` with `queued` more pictures behind it; 0 =
    // draw at once.
    uint32_t Schedule(uint32_t timestamp, uint32_t now, uint32_t queued);

    // The next picture starts a new time base.
    void Reset() { m_haveBase = false; }

private:
    void NewBase(uint32_t timestamp, uint32_t now);

    uint32_t m_queueLength;
    bool m_haveBase = false;
    uint32_t m_baseTick = 0;
    uint64_t m_sinceBaseUs = 0;
    uint32_t m_lastTimestamp = 0;
    uint32_t m_intervalUs = 40000;
    uint32_t m_windowCount = 0;
    uint32_t m_windowMinWait = 0;
};
