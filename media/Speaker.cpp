#include "media/Speaker.h"

#include "media/AudioEncoder.h"
#include "session/FrameBufferList.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

static_assert(sizeof(WaveInHeader) <= Speaker::kHeaderSize, "a wave header must fit in front of its data");
static_assert(alignof(WaveInHeader) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "pool buffers must align a header");

Speaker::Speaker() = default;

Speaker::~Speaker() {
    StopCapture();
}

void Speaker::SetEncoder(AudioEncoder* encoder) {
    m_encoder = encoder;
}

uint16_t Speaker::GetBitsPerSample() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    return m_device.IsOpen() ? m_format.bitsPerSample : 0;
}

WaveInHeader* Speaker::HeaderOf(uint8_t* bufferData) {
    return std::launder(reinterpret_cast<WaveInHeader*>(bufferData));
}

int Speaker::StartCapture() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (m_device.IsOpen())
        return -1;

    m_format = WaveInFormat{};
    m_format.formatTag = 1;
    m_format.channels = 1;
    m_format.samplesPerSec = 8000;
    m_format.bitsPerSample = 8;
    m_format.blockAlign = 1;
    m_format.avgBytesPerSec = 8000;
    m_format.extraSize = 0;
    if (m_device.Open(m_format, &Speaker::WaveInProc, this) != 0) {
        m_format.bitsPerSample = 16;
        m_format.blockAlign = m_format.channels * 16 / 8;
        m_format.avgBytesPerSec = 16000;
        if (m_device.Open(m_format, &Speaker::WaveInProc, this) != 0)
            return -1;
    }

    const uint32_t dataSize = m_format.bitsPerSample * kBlockSamples / 8;
    m_pool = std::make_unique<FrameBufferList>(kBufferCount, dataSize + kHeaderSize + 1);
    for (uint32_t i = 0; i < kBufferCount; ++i) {
        FrameBuffer* buf = m_pool->AcquireFree();
        if (buf == nullptr)
            continue;
        // The pool is only storage: each buffer holds its header, then the
        // samples, and goes back to the list's tail at once.
        WaveInHeader* header = ::new (buf->GetData()) WaveInHeader{};
        header->data = buf->GetData() + kHeaderSize;
        header->bufferLength = dataSize;
        m_device.PrepareHeader(header);
        m_device.AddBuffer(header);
        m_pool->Recycle(buf);
    }

    // Recording is set before the device starts, so that the very first
    // finished buffer is already handed back.
    {
        std::lock_guard<NamedMutex> status(m_statusMutex);
        m_recording = 1;
    }
    m_device.Start();
    return 0;
}

int Speaker::StopCapture() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    {
        std::lock_guard<NamedMutex> status(m_statusMutex);
        m_recording = 0;
    }
    if (m_device.IsOpen()) {
        m_device.Stop();
        m_device.Reset();
        if (m_pool) {
            for (uint32_t i = 0; i < kBufferCount; ++i) {
                FrameBuffer* buf = m_pool->AcquireFree();
                if (buf == nullptr)
                    continue;
                m_device.UnprepareHeader(HeaderOf(buf->GetData()));
                m_pool->Recycle(buf);
            }
            m_pool.reset();
        }
        m_device.Close();
    }
    return 0;
}

void Speaker::WaveInProc(WaveIn*, uint32_t message, void* instance, WaveInHeader* header) {
    if (message == WIM_DATA && header != nullptr)
        static_cast<Speaker*>(instance)->OnData(header);
}

void Speaker::OnData(WaveInHeader* header) {
    // The encoder's queue exists from before capture starts until after it
    // stops; a full queue loses the block.
    FrameBufferList* queue = m_encoder ? m_encoder->GetInputQueue() : nullptr;
    if (queue != nullptr && header->bytesRecorded > 0) {
        FrameBuffer* buf = queue->AcquireFree();
        if (buf != nullptr) {
            uint32_t n = header->bytesRecorded;
            if (n > buf->GetCapacity())
                n = buf->GetCapacity();
            buf->SetLength(n);
            std::memcpy(buf->GetData(), header->data, n);
            queue->MarkReady(buf);
        }
    }
    header->bytesRecorded = 0;

    std::lock_guard<NamedMutex> status(m_statusMutex);
    if (m_recording == 1)
        m_device.AddBuffer(header);
}
