#include "platform/WaveIn.h"

#include "platform/SdlAudio.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

namespace {

// SDL's capture period. Small, so that Stop() leaves little in a partly
// filled buffer; independent of the size of the caller's buffers.
constexpr Uint16 kCaptureSamples = 256;

} // namespace

WaveIn::~WaveIn() {
    Close();
}

int WaveIn::Open(const WaveInFormat& format, WaveInCallback callback, void* instance) {
    if (m_device != 0 || callback == nullptr)
        return -1;
    m_callback = callback;
    m_instance = instance;
    m_device = SdlAudio::Open(true, format.formatTag, format.channels, format.samplesPerSec, format.bitsPerSample,
                              format.blockAlign, kCaptureSamples, &WaveIn::AudioCallback, this);
    if (m_device == 0)
        return -1;
    m_callback(this, WIM_OPEN, m_instance, nullptr);
    return 0;
}

int WaveIn::PrepareHeader(WaveInHeader* header) {
    if (header == nullptr || header->data == nullptr || header->bufferLength == 0)
        return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (header->flags & WHDR_INQUEUE)
        return -1;
    header->flags |= WHDR_PREPARED;
    return 0;
}

int WaveIn::UnprepareHeader(WaveInHeader* header) {
    if (header == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (header->flags & WHDR_INQUEUE)
        return -1;
    header->flags &= ~WHDR_PREPARED;
    return 0;
}

int WaveIn::AddBuffer(WaveInHeader* header) {
    if (m_device == 0 || header == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!(header->flags & WHDR_PREPARED) || (header->flags & WHDR_INQUEUE))
        return -1;
    header->bytesRecorded = 0;
    header->flags = (header->flags & ~WHDR_DONE) | WHDR_INQUEUE;
    m_queue.push_back(header);
    return 0;
}

int WaveIn::Start() {
    if (m_device == 0)
        return -1;
    SDL_PauseAudioDevice(m_device, 0);
    return 0;
}

void WaveIn::Pause() {
    // Pausing takes the device lock that SDL holds around every callback, so
    // once it returns no callback is running and none will start.
    SDL_PauseAudioDevice(m_device, 1);
}

int WaveIn::Stop() {
    if (m_device == 0)
        return -1;
    Pause();
    std::deque<WaveInHeader*> done;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_queue.empty() && m_queue.front()->bytesRecorded > 0) {
            done.push_back(m_queue.front());
            m_queue.pop_front();
        }
    }
    ReturnBuffers(done);
    return 0;
}

int WaveIn::Reset() {
    if (m_device == 0)
        return -1;
    Pause();
    std::deque<WaveInHeader*> done;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        done.swap(m_queue);
    }
    ReturnBuffers(done);
    return 0;
}

int WaveIn::Close() {
    if (m_device == 0)
        return -1;
    // Buffers still held go back to their owner first, so no header is left
    // pointing into a closed device.
    Reset();
    SdlAudio::Close(m_device);
    m_device = 0;
    m_callback(this, WIM_CLOSE, m_instance, nullptr);
    return 0;
}

void WaveIn::ReturnBuffers(std::deque<WaveInHeader*>& done) {
    for (WaveInHeader* header : done) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
        }
        m_callback(this, WIM_DATA, m_instance, header);
    }
}

void WaveIn::AudioCallback(void* userdata, uint8_t* stream, int len) {
    if (len > 0)
        static_cast<WaveIn*>(userdata)->OnCaptured(stream, static_cast<uint32_t>(len));
}

void WaveIn::OnCaptured(const uint8_t* stream, uint32_t len) {
    // Runs on SDL's audio thread. One buffer at a time, and the callback is
    // called without m_mutex held, so that it can add the buffer back.
    while (len > 0) {
        WaveInHeader* finished = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_queue.empty())
                return; // no buffer: the rest of this period is lost
            WaveInHeader* header = m_queue.front();
            uint32_t n = std::min(len, header->bufferLength - header->bytesRecorded);
            std::memcpy(header->data + header->bytesRecorded, stream, n);
            header->bytesRecorded += n;
            stream += n;
            len -= n;
            if (header->bytesRecorded == header->bufferLength) {
                m_queue.pop_front();
                header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
                finished = header;
            }
        }
        if (finished != nullptr)
            m_callback(this, WIM_DATA, m_instance, finished);
    }
}
