#include "WaveOut.h"

#include "NamedMutex.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

// Exported by SDL 2.26 but not declared in its headers: frees the calling
// thread's SDL storage (its error text).
extern "C" DECLSPEC void SDLCALL SDL_TLSCleanup(void);

namespace {

// SDL's subsystem reference count and its device table are not thread-safe:
// every SDL audio open and close in the process goes through this one lock.
NamedMutex& SdlAudioLock() {
    static NamedMutex lock("SDLAudio");
    return lock;
}

// SDL's playback period: 32 ms at 8000 samples per second.
constexpr Uint16 kPlaySamples = 256;

// SDL keeps per-thread storage for threads it did not create and never frees
// it when they end. Players open and close on decode threads that come and
// go, so the storage is dropped after each open and close.
void ReleaseThreadStorage() {
    SDL_TLSCleanup();
}

} // namespace

WaveOut::~WaveOut() {
    Close();
}

int WaveOut::Open(const WaveOutFormat& format, WaveOutCallback callback, void* instance) {
    if (m_device != 0 || callback == nullptr)
        return -1;
    if (format.formatTag != 1 || format.channels == 0 || format.channels > 8 || format.samplesPerSec == 0 ||
        format.samplesPerSec > 192000)
        return -1;
    SDL_AudioFormat sdlFormat;
    if (format.bitsPerSample == 8)
        sdlFormat = AUDIO_U8;
    else if (format.bitsPerSample == 16)
        sdlFormat = AUDIO_S16LSB;
    else
        return -1;
    if (format.blockAlign != format.channels * format.bitsPerSample / 8)
        return -1;

    m_callback = callback;
    m_instance = instance;
    m_silence = format.bitsPerSample == 8 ? 0x80 : 0;

    SDL_AudioSpec want{};
    want.freq = static_cast<int>(format.samplesPerSec);
    want.format = sdlFormat;
    want.channels = static_cast<Uint8>(format.channels);
    want.samples = kPlaySamples;
    want.callback = &WaveOut::AudioCallback;
    want.userdata = this;
    {
        std::lock_guard<NamedMutex> guard(SdlAudioLock());
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            ReleaseThreadStorage();
            return -1;
        }
        // No allowed changes: SDL converts exactly this format for the device.
        SDL_AudioSpec have{};
        m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (m_device == 0)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        ReleaseThreadStorage();
        if (m_device == 0)
            return -1;
    }
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
    {
        std::lock_guard<NamedMutex> guard(SdlAudioLock());
        SDL_CloseAudioDevice(m_device);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        ReleaseThreadStorage();
    }
    m_device = 0;
    m_callback(this, WOM_CLOSE, m_instance, nullptr);
    return 0;
}

void WaveOut::AudioCallback(void* userdata, uint8_t* stream, int len) {
    if (len > 0)
        static_cast<WaveOut*>(userdata)->OnPlay(stream, static_cast<uint32_t>(len));
}

void WaveOut::OnPlay(uint8_t* stream, uint32_t len) {
    // Runs on SDL's audio thread, under SDL's device lock. The callback is
    // called without m_mutex held, so that it may write again.
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
