#include "platform/SdlAudio.h"

#include "platform/NamedMutex.h"

#include <mutex>

// Exported by SDL 2.26 but not declared in its headers: frees the calling
// thread's SDL storage (its error text).
extern "C" DECLSPEC void SDLCALL SDL_TLSCleanup(void);

namespace {

NamedMutex& SdlAudioLock() {
    static NamedMutex lock("SDLAudio");
    return lock;
}

} // namespace

SDL_AudioDeviceID SdlAudio::Open(bool capture, uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                                 uint16_t bitsPerSample, uint16_t blockAlign, uint16_t period,
                                 SDL_AudioCallback callback, void* userdata) {
    if (formatTag != 1 || channels == 0 || channels > 8 || samplesPerSec == 0 || samplesPerSec > 192000)
        return 0;
    SDL_AudioFormat sdlFormat;
    if (bitsPerSample == 8)
        sdlFormat = AUDIO_U8;
    else if (bitsPerSample == 16)
        sdlFormat = AUDIO_S16LSB;
    else
        return 0;
    if (blockAlign != channels * bitsPerSample / 8)
        return 0;

    SDL_AudioSpec want{};
    want.freq = static_cast<int>(samplesPerSec);
    want.format = sdlFormat;
    want.channels = static_cast<Uint8>(channels);
    want.samples = period;
    want.callback = callback;
    want.userdata = userdata;

    std::lock_guard<NamedMutex> guard(SdlAudioLock());
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        SDL_TLSCleanup();
        return 0;
    }
    // No allowed changes: SDL converts between the device and exactly this format.
    SDL_AudioSpec have{};
    SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, capture ? 1 : 0, &want, &have, 0);
    if (device == 0)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SDL_TLSCleanup();
    return device;
}

void SdlAudio::Close(SDL_AudioDeviceID device) {
    std::lock_guard<NamedMutex> guard(SdlAudioLock());
    SDL_CloseAudioDevice(device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SDL_TLSCleanup();
}
