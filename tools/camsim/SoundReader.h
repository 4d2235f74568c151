#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// Reads sound from a live input (a microphone through ALSA, or any input
// libavdevice knows, such as lavfi's "sine") as 8000 Hz mono samples for the
// AAC encoder. Reads never wait: what the input has not delivered yet comes
// with a later call.
class SoundReader {
public:
    SoundReader() = default;
    ~SoundReader();
    SoundReader(const SoundReader&) = delete;
    SoundReader& operator=(const SoundReader&) = delete;

    // `url` as the input format understands it ("hw:1", "default",
    // "sine=frequency=600"); `format` names the input ("alsa", "pulse", "lavfi").
    int Open(const std::string& url, const std::string& format);
    // Appends up to `most` samples (at least what one packet of the input
    // holds); 0, or -1 when the input failed or ended.
    int Read(std::vector<float>& out, size_t most);
    const std::string& GetError() const { return m_error; }

private:
    int Convert(std::vector<float>& out);

    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_decoder = nullptr;
    SwrContext* m_resampler = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_decoded = nullptr;
    int m_stream = -1;
    std::string m_error;
};
