#include "media/FrameTimeline.h"

#include <algorithm>

namespace {

// us in units of 1/scale s, rounded to nearest.
int64_t ToUnits(int64_t us, int64_t scale) {
    int64_t scaled = us * scale;
    return scaled >= 0 ? (scaled + 500000) / 1000000 : -((-scaled + 500000) / 1000000);
}

} // namespace

void FrameTimeline::Begin(uint32_t timestamp, int reorderDepth, int64_t frameUs) {
    m_begun = true;
    m_lastStamp = timestamp;
    m_lastUs = 0;
    m_reorderDepth = std::clamp(reorderDepth, 0, kMaxReorderDepth);
    m_frameUs = std::clamp<int64_t>(frameUs, 1000, 1000000);
    m_originUs = -m_reorderDepth * m_frameUs;
    m_videoFrames = 0;
    m_lastPts = 0;
    m_lastDts = -1;
    m_reorderCount = 0;
    m_haveAudio = false;
    m_nextAudio = 0;
}

int64_t FrameTimeline::Extend(uint32_t timestamp) {
    int64_t step = static_cast<int32_t>(timestamp - m_lastStamp);
    if (step > kMaxStepUs || step < -kMaxStepUs)
        step = m_frameUs;
    m_lastStamp = timestamp;
    m_lastUs += step;
    return m_lastUs;
}

void FrameTimeline::PushPresentation(int64_t us) {
    int i = m_reorderCount++;
    while (i > 0 && m_reorder[static_cast<size_t>(i - 1)] > us) {
        m_reorder[static_cast<size_t>(i)] = m_reorder[static_cast<size_t>(i - 1)];
        --i;
    }
    m_reorder[static_cast<size_t>(i)] = us;
}

int64_t FrameTimeline::PopEarliest() {
    int64_t earliest = m_reorder[0];
    std::copy(m_reorder.begin() + 1, m_reorder.begin() + m_reorderCount, m_reorder.begin());
    --m_reorderCount;
    return earliest;
}

void FrameTimeline::Video(uint32_t timestamp, int64_t& dts, uint32_t& offset) {
    int64_t pts = Extend(timestamp);
    // Without reordering a stamp that does not advance is wrong: such a
    // frame is shown one nominal frame after the previous one.
    if (m_reorderDepth == 0 && m_videoFrames > 0 && pts <= m_lastPts)
        pts = m_lastPts + m_frameUs;
    m_lastPts = pts;
    PushPresentation(pts);
    int64_t dtsUs;
    if (m_videoFrames < m_reorderDepth)
        dtsUs = m_originUs + m_videoFrames * m_frameUs;
    else
        dtsUs = PopEarliest();
    ++m_videoFrames;
    dts = std::max(ToUnits(dtsUs - m_originUs, 90000), m_lastDts + 1);
    m_lastDts = dts;
    offset = static_cast<uint32_t>(std::max<int64_t>(0, ToUnits(pts - m_originUs, 90000) - dts));
}

bool FrameTimeline::Audio(uint32_t timestamp, uint32_t rate, uint32_t samples, int64_t& dts) {
    if (!m_begun || rate == 0)
        return false;
    const int64_t at = ToUnits(Extend(timestamp) - m_originUs, rate);
    if (!m_haveAudio) {
        if (at < 0)
            return false; // before the recording began
        dts = at;
    } else {
        const int64_t tolerance = ToUnits(kAudioToleranceUs, rate);
        const int64_t late = at - m_nextAudio;
        if (late < -tolerance)
            return false; // would overlap sound already placed
        if (late > tolerance) {
            dts = at; // a gap in the sound stays a gap
        } else {
            // Right after the previous frame, moved a little toward its own
            // stamp: a sound clock that runs off the picture clock is followed
            // in steps nobody hears, never by a cut or a gap.
            const int64_t step = std::max<int64_t>(1, ToUnits(kAudioStepUs, rate));
            dts = m_nextAudio + std::clamp(late / kAudioSteering, -step, step);
        }
    }
    m_haveAudio = true;
    m_nextAudio = dts + samples;
    return true;
}
