#include "tools/camsim/SourceReader.h"

#include "tools/camsim/AacEncoder.h"
#include "tools/camsim/TestPicture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

SourceReader::~SourceReader() {
    av_packet_free(&m_packet);
    av_frame_free(&m_decoded);
    sws_freeContext(m_sws);
    avcodec_free_context(&m_decoder);
    av_bsf_free(&m_bsf);
    avformat_close_input(&m_format);
}

int SourceReader::Open(const std::string& path, const std::string& format, int width, int height, int fps,
                       size_t maxFrameBytes) {
    m_maxFrameBytes = maxFrameBytes;
    m_live = !format.empty();
    const AVInputFormat* input = nullptr;
    AVDictionary* options = nullptr;
    if (m_live) {
        avdevice_register_all();
        input = av_find_input_format(format.c_str());
        if (input == nullptr) {
            m_error = "unknown input format " + format;
            return -1;
        }
        if (format == "v4l2") {
            av_dict_set(&options, "video_size", (std::to_string(width) + "x" + std::to_string(height)).c_str(), 0);
            av_dict_set(&options, "framerate", std::to_string(fps).c_str(), 0);
        }
    }
    const int opened = avformat_open_input(&m_format, path.c_str(), input, &options);
    av_dict_free(&options);
    if (opened < 0) {
        m_error = "cannot open " + path;
        return -1;
    }
    if (avformat_find_stream_info(m_format, nullptr) < 0) {
        m_error = "cannot read the streams of " + path;
        return -1;
    }
    if (m_live)
        m_format->flags |= AVFMT_FLAG_NONBLOCK;
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_stream < 0) {
        m_error = path + " has no video";
        return -1;
    }
    AVStream* stream = m_format->streams[m_stream];
    AVRational rate = av_guess_frame_rate(m_format, stream, nullptr);
    if (rate.num > 0 && rate.den > 0)
        m_frameUs = av_rescale(1000000, rate.den, rate.num);
    m_packet = av_packet_alloc();
    if (stream->codecpar->codec_id == AV_CODEC_ID_H264) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name("h264_mp4toannexb");
        if (filter == nullptr || av_bsf_alloc(filter, &m_bsf) < 0 ||
            avcodec_parameters_copy(m_bsf->par_in, stream->codecpar) < 0) {
            m_error = "cannot set up the Annex B filter";
            return -1;
        }
        m_bsf->time_base_in = stream->time_base;
        if (av_bsf_init(m_bsf) < 0) {
            m_error = "cannot set up the Annex B filter";
            return -1;
        }
        return 0;
    }
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        m_error = "no decoder for the video of " + path;
        return -1;
    }
    m_decoder = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(m_decoder, stream->codecpar);
    m_decoder->thread_count = 1;
    if (avcodec_open2(m_decoder, codec, nullptr) < 0) {
        m_error = "cannot open the decoder for " + path;
        return -1;
    }
    m_decoded = av_frame_alloc();
    m_encoder = std::make_unique<VideoEncoder>();
    if (m_encoder->Open(width, height, fps, maxFrameBytes) != 0) {
        m_error = m_encoder->GetError();
        return -1;
    }
    return 0;
}

int64_t SourceReader::TimeOf(int64_t ts) {
    if (ts == AV_NOPTS_VALUE)
        return m_lastUs + m_frameUs;
    if (m_startTs == INT64_MIN)
        m_startTs = ts;
    int64_t us = av_rescale_q(ts - m_startTs, m_format->streams[m_stream]->time_base, AVRational{1, 1000000});
    return us + m_loopOffsetUs;
}

// A time after the first one of this pass through the file (TimeOf set the start).
int64_t SourceReader::LaterTimeOf(int64_t ts, int64_t fallbackUs) const {
    if (ts == AV_NOPTS_VALUE || m_startTs == INT64_MIN)
        return fallbackUs;
    return av_rescale_q(ts - m_startTs, m_format->streams[m_stream]->time_base, AVRational{1, 1000000}) +
           m_loopOffsetUs;
}

int SourceReader::Rewind() {
    m_loopOffsetUs = m_lastUs + m_frameUs;
    m_startTs = INT64_MIN;
    if (av_seek_frame(m_format, m_stream, 0, AVSEEK_FLAG_BACKWARD) < 0 &&
        avformat_seek_file(m_format, -1, INT64_MIN, 0, INT64_MAX, 0) < 0) {
        m_error = "cannot rewind the source";
        return -1;
    }
    if (m_bsf != nullptr)
        av_bsf_flush(m_bsf);
    if (m_decoder != nullptr)
        avcodec_flush_buffers(m_decoder);
    return 0;
}

int SourceReader::ReadPacket() {
    for (int attempts = 0; attempts < 2;) {
        int r = av_read_frame(m_format, m_packet);
        if (m_live && r == AVERROR(EAGAIN))
            return 1;
        if (m_live && r < 0) {
            m_error = "the live input ended";
            return -1;
        }
        if (r == AVERROR_EOF || r == AVERROR(EIO)) {
            ++attempts;
            if (Rewind() != 0)
                return -1;
            continue;
        }
        if (r < 0) {
            m_error = "cannot read the source";
            return -1;
        }
        if (m_packet->stream_index == m_stream)
            return 0;
        av_packet_unref(m_packet);
    }
    m_error = "the source has no readable video packets";
    return -1;
}

int SourceReader::Next(bool forceKey, bool marker, std::vector<uint8_t>& out, bool& key, int64_t& timeUs,
                       int64_t& sendUs) {
    out.clear();
    key = false;
    for (int guard = 0; guard < 10000; ++guard) {
        if (m_bsf != nullptr) {
            int r = av_bsf_receive_packet(m_bsf, m_packet);
            if (r == 0) {
                int64_t ts = m_packet->dts != AV_NOPTS_VALUE ? m_packet->dts : m_packet->pts;
                sendUs = TimeOf(ts);
                timeUs = LaterTimeOf(m_packet->pts, sendUs);
                m_lastUs = sendUs;
                bool isKey = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
                if (static_cast<size_t>(m_packet->size) > m_maxFrameBytes) {
                    ++m_skipped;
                    m_waitKey = true;
                } else if (!m_waitKey || isKey) {
                    m_waitKey = false;
                    out.assign(m_packet->data, m_packet->data + m_packet->size);
                    key = isKey;
                }
                av_packet_unref(m_packet);
                if (!out.empty())
                    return 0;
                continue;
            }
            if (const int r = ReadPacket(); r != 0)
                return r;
            if (av_bsf_send_packet(m_bsf, m_packet) < 0)
                av_packet_unref(m_packet);
            continue;
        }
        int r = avcodec_receive_frame(m_decoder, m_decoded);
        if (r == 0) {
            timeUs = TimeOf(m_decoded->best_effort_timestamp);
            sendUs = timeUs;
            m_lastUs = timeUs;
            AVFrame* picture = m_encoder->Picture();
            m_sws = sws_getCachedContext(m_sws, m_decoded->width, m_decoded->height,
                                         static_cast<AVPixelFormat>(m_decoded->format), picture->width, picture->height,
                                         AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (m_sws == nullptr) {
                m_error = "cannot scale the source pictures";
                return -1;
            }
            sws_scale(m_sws, m_decoded->data, m_decoded->linesize, 0, m_decoded->height, picture->data,
                      picture->linesize);
            if (marker)
                TestPicture::PaintBeepMarker(picture, AacEncoder::IsBeepTime(timeUs));
            av_frame_unref(m_decoded);
            if (m_encoder->Encode(forceKey, out, key) != 0) {
                m_error = "cannot encode the source pictures";
                return -1;
            }
            if (!out.empty())
                return 0;
            continue;
        }
        if (const int r = ReadPacket(); r != 0)
            return r;
        avcodec_send_packet(m_decoder, m_packet);
        av_packet_unref(m_packet);
    }
    m_error = "the source yields no pictures";
    return -1;
}
