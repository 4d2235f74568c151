#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// The camera's sound: a quiet 440 Hz tone with a 100 ms, 1000 Hz beep at the
// start of every second of the stream clock (sample 0 is at time 0),
// encoded with libavcodec's AAC encoder as AAC-LC at 8000 Hz mono, each
// frame with its 7-byte ADTS header.
class AacEncoder {
public:
    static constexpr int kSampleRate = 8000;
    static constexpr int kFrameSamples = 1024;
    static constexpr int kBeepMs = 100;

    // Whether the beep sounds at this time of the stream clock.
    static bool IsBeepTime(int64_t microseconds);

    AacEncoder() = default;
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    int Open();
    // Encodes the next 1024 samples (of the tone, or the 1024 at `input`); appends the ADTS frames that came out
    // and, to firstSamples, the stream time (in samples) of each frame's
    // first decoded sample: the encoder's delay is allowed for, so the very
    // first frame starts before 0.
    int EncodeNext(std::vector<std::vector<uint8_t>>& out, std::vector<int64_t>* firstSamples = nullptr,
                   const float* input = nullptr);
    const std::string& GetError() const { return m_error; }

    // The 7-byte ADTS header (no CRC) of an AAC-LC, 8000 Hz, mono frame of
    // frameLength bytes including the header.
    static void MakeAdtsHeader(size_t frameLength, uint8_t header[7]);

private:
    AVCodecContext* m_ctx = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    int64_t m_sample = 0;
    std::string m_error;
};
