#include "media/WavePlayer.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

namespace {

int16_t FloatToPcm16(float sample) {
    // Truncated toward zero, saturated to the 16-bit range; NaN is silence.
    double scaled = static_cast<double>(sample) * 32768.0;
    if (std::isnan(scaled))
        return 0;
    if (scaled >= 32767.0)
        return 32767;
    if (scaled <= -32768.0)
        return -32768;
    return static_cast<int16_t>(scaled);
}

} // namespace

WavePlayer::WavePlayer() = default;

WavePlayer::~WavePlayer() {
    CloseOutput();
}

int WavePlayer::OpenOutput() {
    std::lock_guard<NamedMutex> guard(m_lock);
    if (m_device.IsOpen())
        return 0;
    m_format = WaveOutFormat{};
    m_format.formatTag = 1;
    m_format.channels = 1;
    m_format.samplesPerSec = 8000;
    m_format.avgBytesPerSec = 16000;
    m_format.blockAlign = 2;
    m_format.bitsPerSample = 16;
    m_format.extraSize = 0;
    if (m_device.Open(m_format, &WavePlayer::OnWaveOut, this) != 0)
        return -1;
    m_pool = std::make_unique<FrameBufferList>(kBufferCount, kBufferSize);
    for (uint32_t i = 0; i < kBufferCount; ++i) {
        FrameBuffer* buf = m_pool->AcquireFree();
        if (buf) {
            auto* header = new (buf->GetData()) WaveOutHeader{};
            header->data = buf->GetData() + kHeaderSize;
            header->user = buf;
            m_device.PrepareHeader(header);
        }
        m_pool->Recycle(buf);
    }
    return 0;
}

uint32_t WavePlayer::GetDelayMs() {
    std::lock_guard<NamedMutex> guard(m_lock);
    if (!m_pool)
        return 0;
    return m_device.GetQueuedBytes() * 1000 / m_format.avgBytesPerSec + m_device.GetDevicePlayingMs();
}

int WavePlayer::WriteSamples(int sampleType, const void* source, uint32_t byteCount, int /*channels*/,
                             int /*sampleRate*/) {
    std::lock_guard<NamedMutex> guard(m_lock);
    if (!m_pool || source == nullptr)
        return -1;
    uint32_t outBytes;
    if (sampleType == kSampleFloat)
        outBytes = byteCount / 4 * 2;
    else if (sampleType == kSamplePcm16)
        outBytes = byteCount;
    else
        return -1;
    // Checked before a buffer is taken: a taken buffer must go to the device.
    if (outBytes > kDataSize)
        return -1;
    FrameBuffer* buf = m_pool->AcquireFree();
    if (!buf)
        return -1;
    auto* header = reinterpret_cast<WaveOutHeader*>(buf->GetData());
    if (sampleType == kSampleFloat) {
        const uint32_t n = byteCount / 4;
        const auto* in = static_cast<const uint8_t*>(source);
        int16_t* out = reinterpret_cast<int16_t*>(header->data);
        for (uint32_t i = 0; i < n; ++i) {
            float sample;
            std::memcpy(&sample, in + 4 * i, 4);
            out[i] = FloatToPcm16(sample);
        }
    } else {
        std::memcpy(header->data, source, byteCount);
    }
    header->bufferLength = outBytes;
    ++m_queued;
    if (m_device.Write(header) != 0) {
        // Cannot happen while open with prepared headers; give the buffer back
        // the way the device would, so the pool does not jam.
        OnWaveOut(&m_device, WOM_DONE, this, header);
        return -1;
    }
    return 0;
}

int WavePlayer::CloseOutput() {
    std::lock_guard<NamedMutex> guard(m_lock);
    if (!m_device.IsOpen())
        return 0;
    m_device.Pause();
    m_device.Reset();
    if (m_pool) {
        for (uint32_t i = 0; i < kBufferCount; ++i) {
            FrameBuffer* buf = m_pool->AcquireFree();
            if (buf)
                m_device.UnprepareHeader(reinterpret_cast<WaveOutHeader*>(buf->GetData()));
            m_pool->Recycle(buf);
        }
        m_pool.reset();
    }
    m_device.Close();
    return 0;
}

void WavePlayer::OnWaveOut(WaveOut* /*device*/, uint32_t message, void* instance, WaveOutHeader* header) {
    if (message != WOM_DONE || header == nullptr)
        return;
    auto* player = static_cast<WavePlayer*>(instance);
    --player->m_queued;
    player->m_pool->Recycle(static_cast<FrameBuffer*>(header->user));
}
