#include "platform/WaveOut.h"

#include "platform/SdlAudio.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

int64_t SteadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// SDL's playback period: 32 ms at 8000 samples per second.
constexpr Uint16 kPlaySamples = 256;

} // namespace

WaveOut::~WaveOut() {
    Close();
}

int WaveOut::Open(const WaveOutFormat& format, WaveOutCallback callback, void* instance) {
    if (m_device != 0 || callback == nullptr)
        return -1;
    m_callback = callback;
    m_instance = instance;
    m_silence = format.bitsPerSample == 8 ? 0x80 : 0;
    m_device = SdlAudio::Open(false, format.formatTag, format.channels, format.samplesPerSec, format.bitsPerSample,
                              format.blockAlign, kPlaySamples, &WaveOut::AudioCallback, this);
    if (m_device == 0)
        return -1;
    m_latencyMs = format.samplesPerSec > 0 ? kPlaySamples * 1000u / format.samplesPerSec : 0;
    m_callback(this, WOM_OPEN, m_instance, nullptr);
    SDL_PauseAudioDevice(m_device, 0); // a waveform device plays as soon as blocks arrive
    return 0;
}

int WaveOut::PrepareHeader(WaveOutHeader* header) {
    if (header == nullptr || header->data == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (header->flags & WaveOutHeader::kInQueue)
        return -1;
    header->flags |= WaveOutHeader::kPrepared;
    return 0;
}

int WaveOut::UnprepareHeader(WaveOutHeader* header) {
    if (header == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (header->flags & WaveOutHeader::kInQueue)
        return -1;
    header->flags &= ~WaveOutHeader::kPrepared;
    return 0;
}

int WaveOut::Write(WaveOutHeader* header) {
    if (m_device == 0 || header == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!(header->flags & WaveOutHeader::kPrepared) || (header->flags & WaveOutHeader::kInQueue))
        return -1;
    header->bytesPlayed = 0;
    header->flags = (header->flags & ~WaveOutHeader::kDone) | WaveOutHeader::kInQueue;
    m_queue.push_back(header);
    return 0;
}

uint32_t WaveOut::GetQueuedBytes() {
    std::lock_guard<std::mutex> guard(m_mutex);
    uint32_t bytes = 0;
    for (const WaveOutHeader* header : m_queue)
        bytes += header->bufferLength - header->bytesPlayed;
    return bytes;
}

int WaveOut::Pause() {
    if (m_device == 0)
        return -1;
    SDL_PauseAudioDevice(m_device, 1);
    return 0;
}

int WaveOut::Restart() {
    if (m_device == 0)
        return -1;
    SDL_PauseAudioDevice(m_device, 0);
    return 0;
}

int WaveOut::Reset() {
    if (m_device == 0)
        return -1;
    // SDL holds the device lock around every audio callback: with it held no
    // block finishes meanwhile, so the blocks come back in order, each once.
    SDL_LockAudioDevice(m_device);
    std::deque<WaveOutHeader*> done;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        done.swap(m_queue);
        for (WaveOutHeader* header : done)
            header->flags = (header->flags & ~WaveOutHeader::kInQueue) | WaveOutHeader::kDone;
    }
    for (WaveOutHeader* header : done)
        m_callback(this, WOM_DONE, m_instance, header);
    SDL_UnlockAudioDevice(m_device);
    return 0;
}

int WaveOut::Close() {
    if (m_device == 0)
        return -1;
    Reset();
    SdlAudio::Close(m_device);
    m_device = 0;
    m_lastTakeUs.store(-1);
    m_callback(this, WOM_CLOSE, m_instance, nullptr);
    return 0;
}

void WaveOut::AudioCallback(void* userdata, uint8_t* stream, int len) {
    if (len > 0)
        static_cast<WaveOut*>(userdata)->OnPlay(stream, static_cast<uint32_t>(len));
}

uint32_t WaveOut::GetDevicePlayingMs() const {
    const int64_t taken = m_lastTakeUs.load();
    if (taken < 0)
        return m_latencyMs;
    const int64_t left = int64_t{m_latencyMs} * 1000 - (SteadyMicroseconds() - taken);
    return static_cast<uint32_t>(std::clamp<int64_t>(left, 0, int64_t{m_latencyMs} * 1000) / 1000);
}

void WaveOut::OnPlay(uint8_t* stream, uint32_t len) {
    // Runs on SDL's audio thread, under SDL's device lock. The callback is
    // called without m_mutex held, so that it may write again.
    m_lastTakeUs.store(SteadyMicroseconds());
    while (len > 0) {
        WaveOutHeader* finished = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_queue.empty()) {
                std::memset(stream, m_silence, len);
                return;
            }
            WaveOutHeader* header = m_queue.front();
            uint32_t n = std::min(len, header->bufferLength - header->bytesPlayed);
            std::memcpy(stream, header->data + header->bytesPlayed, n);
            header->bytesPlayed += n;
            stream += n;
            len -= n;
            if (header->bytesPlayed >= header->bufferLength) {
                m_queue.pop_front();
                header->flags = (header->flags & ~WaveOutHeader::kInQueue) | WaveOutHeader::kDone;
                finished = header;
            }
        }
        if (finished != nullptr)
            m_callback(this, WOM_DONE, m_instance, finished);
    }
}
