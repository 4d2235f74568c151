#include "tools/camsim/AacEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>

bool AacEncoder::IsBeepTime(int64_t microseconds) {
    int64_t inSecond = ((microseconds % 1000000) + 1000000) % 1000000;
    return inSecond < kBeepMs * 1000;
}

AacEncoder::~AacEncoder() {
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    avcodec_free_context(&m_ctx);
}

void AacEncoder::MakeAdtsHeader(size_t frameLength, uint8_t header[7]) {
    header[0] = 0xFF;
    header[1] = 0xF1;                                                          // MPEG-4, no CRC
    header[2] = (1 << 6) | (11 << 2);                                          // AAC-LC, 8000 Hz
    header[3] = static_cast<uint8_t>((1 << 6) | ((frameLength >> 11) & 0x03)); // mono
    header[4] = static_cast<uint8_t>((frameLength >> 3) & 0xFF);
    header[5] = static_cast<uint8_t>(((frameLength & 0x07) << 5) | 0x1F);
    header[6] = 0xFC; // buffer fullness 0x7FF (variable rate), one raw data block
}

int AacEncoder::Open() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) {
        m_error = "AAC encoder not available";
        return -1;
    }
    m_ctx = avcodec_alloc_context3(codec);
    m_ctx->sample_rate = kSampleRate;
    m_ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_ctx->bit_rate = 16000;
    m_ctx->profile = FF_PROFILE_AAC_LOW;
    av_channel_layout_default(&m_ctx->ch_layout, 1);
    m_ctx->time_base = AVRational{1, kSampleRate};
    if (avcodec_open2(m_ctx, codec, nullptr) < 0) {
        m_error = "cannot open the AAC encoder";
        return -1;
    }
    m_frame = av_frame_alloc();
    m_frame->format = AV_SAMPLE_FMT_FLTP;
    m_frame->nb_samples = kFrameSamples;
    m_frame->sample_rate = kSampleRate;
    av_channel_layout_default(&m_frame->ch_layout, 1);
    if (av_frame_get_buffer(m_frame, 0) < 0) {
        m_error = "cannot allocate audio samples";
        return -1;
    }
    m_packet = av_packet_alloc();
    return 0;
}

int AacEncoder::EncodeNext(std::vector<std::vector<uint8_t>>& out, std::vector<int64_t>* firstSamples,
                           const float* input) {
    if (m_ctx == nullptr || av_frame_make_writable(m_frame) < 0)
        return -1;
    auto* samples = reinterpret_cast<float*>(m_frame->data[0]);
    for (int i = 0; i < kFrameSamples; ++i) {
        int64_t n = m_sample + i;
        double t = static_cast<double>(n) / kSampleRate;
        bool beep = (n % kSampleRate) < kSampleRate * kBeepMs / 1000;
        samples[i] = input ? input[i]
                           : static_cast<float>(beep ? 0.5 * std::sin(2 * M_PI * 1000 * t)
                                                     : 0.15 * std::sin(2 * M_PI * 440 * t));
    }
    m_frame->pts = m_sample;
    m_sample += kFrameSamples;
    if (avcodec_send_frame(m_ctx, m_frame) < 0)
        return -1;
    for (;;) {
        int r = avcodec_receive_packet(m_ctx, m_packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            break;
        if (r < 0)
            return -1;
        std::vector<uint8_t> frame(7 + static_cast<size_t>(m_packet->size));
        MakeAdtsHeader(frame.size(), frame.data());
        std::copy(m_packet->data, m_packet->data + m_packet->size, frame.begin() + 7);
        out.push_back(std::move(frame));
        if (firstSamples)
            firstSamples->push_back(m_packet->pts); // time base 1/kSampleRate, encoder delay taken off
        av_packet_unref(m_packet);
    }
    return 0;
}
