#include "tools/camsim/VideoEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <algorithm>

VideoEncoder::~VideoEncoder() {
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    avcodec_free_context(&m_ctx);
}

int VideoEncoder::Open(int width, int height, int fps, size_t maxFrameBytes) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        m_error = "libx264 encoder not available";
        return -1;
    }
    m_maxFrameBytes = maxFrameBytes;
    m_ctx = avcodec_alloc_context3(codec);
    m_ctx->width = width;
    m_ctx->height = height;
    m_ctx->time_base = AVRational{1, fps};
    m_ctx->framerate = AVRational{fps, 1};
    m_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    m_ctx->gop_size = fps; // an IDR every second
    m_ctx->keyint_min = fps;
    m_ctx->max_b_frames = 0;
    // Small pictures encode on the caller's thread; large ones need x264's threads to keep up.
    bool large = static_cast<int64_t>(width) * height > 640 * 480;
    m_ctx->thread_count = large ? 0 : 1;
    // About 0.1 bit per pixel, within a buffer of half a second of it, as a
    // camera's encoder keeps, and of at most three quarters of the frame
    // cap, so that even an IDR stays under the cap.
    int64_t rate = std::clamp<int64_t>(static_cast<int64_t>(width) * height * fps / 10, 200000, 4000000);
    m_ctx->bit_rate = rate;
    m_ctx->rc_max_rate = rate;
    m_ctx->rc_buffer_size =
        static_cast<int>(std::min<int64_t>(rate / 2, static_cast<int64_t>(maxFrameBytes) * 8 * 3 / 4));
    av_opt_set(m_ctx->priv_data, "preset", large ? "ultrafast" : "veryfast", 0);
    av_opt_set(m_ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set(m_ctx->priv_data, "profile", "main", 0);
    av_opt_set_int(m_ctx->priv_data, "forced-idr", 1, 0);
    av_opt_set(m_ctx->priv_data, "x264-params", "scenecut=0:repeat-headers=1:annexb=1", 0);
    if (avcodec_open2(m_ctx, codec, nullptr) < 0) {
        m_error = "cannot open the H.264 encoder";
        return -1;
    }
    m_frame = av_frame_alloc();
    m_frame->format = AV_PIX_FMT_YUV420P;
    m_frame->width = width;
    m_frame->height = height;
    if (av_frame_get_buffer(m_frame, 0) < 0) {
        m_error = "cannot allocate a picture";
        return -1;
    }
    m_packet = av_packet_alloc();
    return 0;
}

int VideoEncoder::Encode(bool forceKey, std::vector<uint8_t>& out, bool& key) {
    out.clear();
    key = false;
    if (m_ctx == nullptr)
        return -1;
    m_frame->pts = m_pts++;
    m_frame->pict_type = (forceKey || m_forceNext) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    m_forceNext = false;
    if (avcodec_send_frame(m_ctx, m_frame) < 0)
        return -1;
    for (;;) {
        int r = avcodec_receive_packet(m_ctx, m_packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            break;
        if (r < 0)
            return -1;
        if (static_cast<size_t>(m_packet->size) > m_maxFrameBytes) {
            ++m_dropped;
            m_forceNext = true;
            m_ctx->bit_rate = m_ctx->bit_rate * 4 / 5;
            m_ctx->rc_max_rate = m_ctx->bit_rate;
        } else {
            out.assign(m_packet->data, m_packet->data + m_packet->size);
            key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
        }
        av_packet_unref(m_packet);
    }
    // The picture buffer may still be referenced by the encoder.
    return av_frame_make_writable(m_frame) < 0 ? -1 : 0;
}
