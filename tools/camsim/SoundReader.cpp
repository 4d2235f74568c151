#include "tools/camsim/SoundReader.h"

#include "tools/camsim/AacEncoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

SoundReader::~SoundReader() {
    av_frame_free(&m_decoded);
    av_packet_free(&m_packet);
    swr_free(&m_resampler);
    avcodec_free_context(&m_decoder);
    avformat_close_input(&m_format);
}

int SoundReader::Open(const std::string& url, const std::string& format) {
    avdevice_register_all();
    const AVInputFormat* input = av_find_input_format(format.c_str());
    if (input == nullptr) {
        m_error = "unknown input format " + format;
        return -1;
    }
    if (avformat_open_input(&m_format, url.c_str(), input, nullptr) < 0) {
        m_error = "cannot open the sound input " + url;
        return -1;
    }
    m_format->flags |= AVFMT_FLAG_NONBLOCK;
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (m_stream < 0) {
        m_error = url + " has no sound";
        return -1;
    }
    const AVCodecParameters* parameters = m_format->streams[m_stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    m_decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (m_decoder == nullptr || avcodec_parameters_to_context(m_decoder, parameters) < 0 ||
        avcodec_open2(m_decoder, codec, nullptr) < 0) {
        m_error = "cannot decode the sound of " + url;
        return -1;
    }
    AVChannelLayout mono;
    av_channel_layout_default(&mono, 1);
    if (swr_alloc_set_opts2(&m_resampler, &mono, AV_SAMPLE_FMT_FLT, AacEncoder::kSampleRate, &m_decoder->ch_layout,
                            m_decoder->sample_fmt, m_decoder->sample_rate, 0, nullptr) < 0 ||
        swr_init(m_resampler) < 0) {
        m_error = "cannot resample the sound of " + url;
        return -1;
    }
    m_packet = av_packet_alloc();
    m_decoded = av_frame_alloc();
    return 0;
}

int SoundReader::Read(std::vector<float>& out, size_t most) {
    const size_t before = out.size();
    while (out.size() - before < most) {
        const int r = av_read_frame(m_format, m_packet);
        if (r == AVERROR(EAGAIN))
            return 0;
        if (r < 0) {
            m_error = "the sound input ended";
            return -1;
        }
        const bool sent = m_packet->stream_index == m_stream && avcodec_send_packet(m_decoder, m_packet) == 0;
        av_packet_unref(m_packet);
        if (sent && Convert(out) != 0)
            return -1;
    }
    return 0;
}

int SoundReader::Convert(std::vector<float>& out) {
    while (avcodec_receive_frame(m_decoder, m_decoded) == 0) {
        const int room = swr_get_out_samples(m_resampler, m_decoded->nb_samples);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(std::max(room, 0)));
        auto* target = reinterpret_cast<uint8_t*>(out.data() + at);
        const int made = swr_convert(m_resampler, &target, room, const_cast<const uint8_t**>(m_decoded->extended_data),
                                     m_decoded->nb_samples);
        av_frame_unref(m_decoded);
        if (made < 0) {
            m_error = "cannot resample the sound";
            return -1;
        }
        out.resize(at + static_cast<size_t>(made));
    }
    return 0;
}
