#include "media/RenderPacer.h"

#include <algorithm>

namespace {
// Steps above this are gaps, not a frame interval.
constexpr uint32_t kMaxIntervalUs = 1000000;
} // namespace

void RenderPacer::NewBase(uint32_t timestamp, uint32_t now) {
    m_haveBase = true;
    m_baseTick = now;
    m_sinceBaseUs = 0;
    m_lastTimestamp = timestamp;
    m_windowCount = 0;
    m_windowMinWait = UINT32_MAX;
}

void RenderPacer::NoteSound(uint32_t timestamp, uint32_t heardAt) {
    m_haveSound = true;
    m_soundTimestamp = timestamp;
    m_soundTick = heardAt;
}

bool RenderPacer::SoundLag(uint32_t now, int32_t& lagMs) const {
    // The tick of a note lies ahead of now as long as its sound is queued.
    if (!m_haveSound || !m_haveBase || static_cast<int32_t>(now - m_soundTick) > static_cast<int32_t>(kSoundFreshMs))
        return false;
    // When the picture of the sound's time stamp is (or was) due, relative to the base.
    const int64_t dueMs =
        (static_cast<int64_t>(m_sinceBaseUs) + static_cast<int32_t>(m_soundTimestamp - m_lastTimestamp)) / 1000;
    lagMs = static_cast<int32_t>(m_soundTick - m_baseTick) - static_cast<int32_t>(dueMs);
    return true;
}

uint32_t RenderPacer::Schedule(uint32_t timestamp, uint32_t now, uint32_t queued) {
    const uint32_t step = timestamp - m_lastTimestamp;
    if (!m_haveBase || static_cast<int32_t>(step) < 0) {
        NewBase(timestamp, now);
        return 0;
    }
    m_lastTimestamp = timestamp;
    m_sinceBaseUs += step;
    if (step > 0 && step <= kMaxIntervalUs)
        m_intervalUs = (m_intervalUs * 7 + step) / 8;

    int32_t lag = 0;
    const bool haveSound = SoundLag(now, lag);
    if (haveSound && lag > kSoundLagLimitMs && queued * 2 < m_queueLength) {
        m_baseTick += static_cast<uint32_t>(lag - kSoundLagTargetMs); // pictures wait for their sound
        lag = kSoundLagTargetMs;
    }
    const uint64_t dueMs = m_sinceBaseUs / 1000;
    const uint32_t elapsed = now - m_baseTick;
    if (static_cast<int32_t>(elapsed) < 0) {
        // The base moved past now: the picture waits until its due time.
        return static_cast<uint32_t>(dueMs + static_cast<uint32_t>(-static_cast<int32_t>(elapsed)));
    }
    if (dueMs > elapsed && dueMs - elapsed > kMaxAheadMs) {
        NewBase(timestamp, now);
        return 0;
    }
    uint32_t wait = dueMs > elapsed ? static_cast<uint32_t>(dueMs - elapsed) : 0;
    if (wait > 0 && queued * 2 >= m_queueLength) {
        // A backlog: what is taken now is due now.
        m_baseTick -= wait;
        wait = 0;
    }
    m_windowMinWait = std::min(m_windowMinWait, wait);
    if (++m_windowCount < kWindow)
        return wait;
    uint32_t shift = m_windowMinWait * 2000 > m_intervalUs ? m_windowMinWait : 0;
    if (haveSound) // never so early that the sound falls behind its target
        shift = std::min<uint32_t>(shift, static_cast<uint32_t>(std::max(0, kSoundLagTargetMs - lag)));
    m_baseTick -= shift;
    m_windowCount = 0;
    m_windowMinWait = UINT32_MAX;
    return wait - std::min(wait, shift);
}
