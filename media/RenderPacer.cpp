#include "RenderPacer.h"

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

    const uint64_t dueMs = m_sinceBaseUs / 1000;
    const uint32_t elapsed = now - m_baseTick;
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
    const uint32_t shift = m_windowMinWait * 2000 > m_intervalUs ? m_windowMinWait : 0;
    m_baseTick -= shift;
    m_windowCount = 0;
    m_windowMinWait = UINT32_MAX;
    return wait - std::min(wait, shift);
}
