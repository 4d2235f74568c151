#include "media/AudioEncoder.h"

#include "platform/ThreadName.h"
#include "platform/Tick.h"
#include "session/AVModel.h"
#include "session/FrameBufferList.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>
#include <system_error>

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

void PutLE32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

float Clamp(float value) {
    return std::clamp(value, -1.0f, 1.0f);
}

} // namespace

AudioEncoder::AudioEncoder() = default;

AudioEncoder::~AudioEncoder() {
    StopEncoder();
}

void AudioEncoder::SetSink(AVModel* sink) {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (!m_thread.joinable())
        m_sink = sink;
}

int AudioEncoder::StartEncoder() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (m_thread.joinable())
        return -1; // already running: a second thread would lose the first
    {
        std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
        m_stop = 0;
    }
    m_inputQueueOwner = std::make_unique<FrameBufferList>(kQueueCount, kQueueBufferSize);
    m_inputQueue.store(m_inputQueueOwner.get(), std::memory_order_release);
    try {
        m_thread = std::thread(&AudioEncoder::ThreadMain, this);
    } catch (const std::system_error&) {
        {
            std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
            m_stop = 1;
        }
        m_inputQueue.store(nullptr, std::memory_order_release);
        m_inputQueueOwner.reset();
        return -1;
    }
    m_threadId = m_thread.get_id();
    return 0;
}

int AudioEncoder::StopEncoder() {
    std::lock_guard<NamedMutex> guard(m_mutex);
    if (m_thread.joinable()) {
        {
            std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
            m_stop = 1;
        }
        m_thread.join();
        m_threadId = std::thread::id();
    }
    m_inputQueue.store(nullptr, std::memory_order_release);
    m_inputQueueOwner.reset();
    return 0;
}

bool AudioEncoder::StopRequested() {
    std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
    return m_stop == 1;
}

uint32_t AudioEncoder::BlockBits(uint32_t length) {
    return (length * 8u) >> 10;
}

float AudioEncoder::ConvertSample8(uint8_t sample) {
    return Clamp(static_cast<float>((static_cast<int>(sample) - 128) / 127.0));
}

float AudioEncoder::ConvertSample16(int16_t sample) {
    return Clamp(static_cast<float>(sample / 32767.0));
}

bool AudioEncoder::ConvertBlock(const uint8_t* data, uint32_t length, float* out) {
    const uint32_t bits = BlockBits(length);
    if (bits == 8) {
        for (uint32_t i = 0; i < kBlockSamples; ++i)
            out[i] = ConvertSample8(data[i]);
        return true;
    }
    if (bits == 16) {
        for (uint32_t i = 0; i < kBlockSamples; ++i) {
            const uint16_t raw = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
            out[i] = ConvertSample16(static_cast<int16_t>(raw));
        }
        return true;
    }
    return false;
}

uint32_t AudioEncoder::WriteRecord(uint8_t* out, uint32_t sequence, const uint8_t* packet, uint32_t size) {
    const uint32_t frameLength = size + 7; // L, the ADTS frame length
    PutLE32(out, sequence);
    PutLE32(out + 4, frameLength);
    uint8_t* adts = out + 8;
    adts[0] = 0xFF;
    adts[1] = 0xF9;
    adts[2] = 0x6C;
    adts[3] = static_cast<uint8_t>(0x40 | ((frameLength >> 11) & 3));
    adts[4] = static_cast<uint8_t>((frameLength >> 3) & 0xFF);
    adts[5] = static_cast<uint8_t>(((frameLength & 7) << 5) | 0x1F);
    adts[6] = 0x01;
    if (size > 0)
        std::memcpy(out + kRecordHeaderSize, packet, size);
    return kRecordHeaderSize + size;
}

void AudioEncoder::ThreadMain() {
    NameThisThread("vantor-aencode");
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr)
        return;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        return;
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    ctx->codec_id = AV_CODEC_ID_AAC;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    bool fltpSupported = false;
    for (const AVSampleFormat* fmt = codec->sample_fmts; fmt != nullptr && *fmt != AV_SAMPLE_FMT_NONE; ++fmt)
        fltpSupported = fltpSupported || *fmt == AV_SAMPLE_FMT_FLTP;
    if (!fltpSupported)
        return;
    ctx->bit_rate = kBitRate;
    ctx->sample_rate = kSampleRate;
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return;
    // A block is 1024 samples; an encoder wanting other frame sizes cannot be fed.
    if (ctx->frame_size != static_cast<int>(kBlockSamples))
        return;

    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!frame || !packet)
        return;
    frame->nb_samples = static_cast<int>(kBlockSamples);
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = kSampleRate;
    if (av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
        return;
    auto batch = std::make_unique<uint8_t[]>(kBatchSize);

    if (m_sink != nullptr)
        m_sink->StartSpeaker();

    uint32_t recordCounter = 0;
    uint32_t batchLength = 0;
    while (!StopRequested()) {
        FrameBufferList* queue = GetInputQueue();
        FrameBuffer* buf = queue != nullptr ? queue->TakeReady() : nullptr;
        if (buf == nullptr) {
            Sleep(20);
            continue;
        }
        // The encoder may still hold the previous block's samples.
        bool converted = false;
        if (av_frame_make_writable(frame.get()) >= 0)
            converted = ConvertBlock(buf->GetData(), buf->GetLength(), reinterpret_cast<float*>(frame->data[0]));
        queue->Recycle(buf);
        if (!converted)
            continue;

        if (avcodec_send_frame(ctx.get(), frame.get()) < 0)
            continue;
        while (avcodec_receive_packet(ctx.get(), packet.get()) == 0) {
            const uint32_t size = static_cast<uint32_t>(packet->size);
            if (packet->size > 0 && kRecordHeaderSize + size <= kBatchSize - batchLength) {
                ++recordCounter;
                batchLength += WriteRecord(batch.get() + batchLength, recordCounter, packet->data, size);
                if (recordCounter % kRecordsPerBatch == 0) {
                    if (m_sink != nullptr)
                        m_sink->SendSpeakerData(batch.get(), static_cast<int>(batchLength));
                    // Emptied with or without a sink, so the batch never grows.
                    batchLength = 0;
                }
            }
            av_packet_unref(packet.get());
        }
    }

    // Records of an unfinished batch are dropped, and the encoder is not
    // drained: talk-back ends with the last full batch.
    if (m_sink != nullptr)
        m_sink->StopSpeaker();
}
