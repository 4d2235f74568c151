#pragma once

#include <SDL.h>

#include <cstdint>

// Opens and closes SDL audio devices for the waveform stand-ins (WaveIn,
// WaveOut). SDL's subsystem count and device table are not thread-safe, so
// every open and close in the process goes through the one named lock
// "SDLAudio". SDL also keeps per-thread storage for threads it did not create
// and never frees it; callers open and close on threads that come and go, so
// that storage is dropped after each open and close.
class SdlAudio {
public:
    // Opens the default capture or playback device for integer PCM with 8
    // (unsigned) or 16 (signed, little-endian) bits per sample, paused, with a
    // callback period of `period` samples. Returns 0 when the format is not one
    // of these or no device opens.
    static SDL_AudioDeviceID Open(bool capture, uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                                  uint16_t bitsPerSample, uint16_t blockAlign, uint16_t period,
                                  SDL_AudioCallback callback, void* userdata);
    static void Close(SDL_AudioDeviceID device);
};
