#include "media/AVDecoder.h"

#include "media/Mp4Recorder.h"
#include "media/VideoRender.h"
#include "media/WavePlayer.h"
#include "platform/ThreadName.h"
#include "platform/Tick.h"
#include "session/AVModel.h"

#include <algorithm>
#include <mutex>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace {

constexpr uint32_t kPollMs = 20;            // without a source
constexpr uint32_t kWaitMs = 500;           // for a frame; a stop ends the wait at once
constexpr uint32_t kPlayerSamplesPerMs = 8; // the player plays everything at 8000 Hz

// At most one video and one audio decode call at a time in the process.
NamedMutex& DecodeVideoMutex() {
    static NamedMutex mutex("DecodeVideoMutex");
    return mutex;
}

NamedMutex& DecodeAudioMutex() {
    static NamedMutex mutex("DecodeAudioMutex");
    return mutex;
}

// A decoder opened for one codec, with its packet and its reused frame.
class Decoder {
public:
    explicit Decoder(AVCodecID id, AVMediaType type) {
        const AVCodec* codec = avcodec_find_decoder(id);
        if (!codec)
            return;
        m_context = avcodec_alloc_context3(codec);
        if (!m_context)
            return;
        m_context->codec_type = type;
        m_context->codec_id = id;
        if (avcodec_open2(m_context, codec, nullptr) < 0)
            return;
        m_packet = av_packet_alloc();
        m_frame = av_frame_alloc();
        m_ready = m_packet && m_frame;
    }
    ~Decoder() {
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        avcodec_free_context(&m_context);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool IsReady() const { return m_ready; }
    AVFrame* Frame() { return m_frame; }

    // Offers one frame's bytes once. When the decoder has no room
    // (EAGAIN), what it holds is drained through onFrame first and the packet
    // is offered once more. The packet's time stamp rides along to the
    // frames it produces.
    template <typename OnFrame>
    void Send(const uint8_t* data, uint32_t length, uint32_t timestamp, NamedMutex& lock, OnFrame&& onFrame) {
        m_packet->data = const_cast<uint8_t*>(data);
        m_packet->size = static_cast<int>(length);
        m_packet->flags = AV_PKT_FLAG_KEY;
        m_packet->pts = timestamp;
        int result;
        {
            std::lock_guard<NamedMutex> guard(lock);
            result = avcodec_send_packet(m_context, m_packet);
        }
        if (result == AVERROR(EAGAIN)) {
            Receive(lock, onFrame);
            std::lock_guard<NamedMutex> guard(lock);
            avcodec_send_packet(m_context, m_packet);
        }
        m_packet->data = nullptr;
        m_packet->size = 0;
    }

    // Hands every frame the decoder has ready to onFrame, outside the lock.
    template <typename OnFrame> void Receive(NamedMutex& lock, OnFrame&& onFrame) {
        for (;;) {
            int result;
            {
                std::lock_guard<NamedMutex> guard(lock);
                result = avcodec_receive_frame(m_context, m_frame);
            }
            if (result < 0)
                return;
            onFrame(m_frame);
            av_frame_unref(m_frame);
        }
    }

private:
    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    bool m_ready = false;
};

// The next frame of the queue; a frame's arrival or a stop (the flag set,
// then the queue's waiters woken) ends the wait at once.
FrameBuffer* WaitForFrame(FrameBufferList* queue, const std::atomic<uint8_t>& stop) {
    if (queue == nullptr) {
        Sleep(kPollMs);
        return nullptr;
    }
    return queue->WaitReady(kWaitMs, [&stop] { return stop.load() == 1; });
}

uint32_t FrameTimestamp(const AVFrame* frame, uint32_t fallback) {
    return frame->pts != AV_NOPTS_VALUE ? static_cast<uint32_t>(frame->pts) : fallback;
}

} // namespace

AVDecoder::AVDecoder() = default;

AVDecoder::~AVDecoder() {
    StopAudioDecode();
    StopVideoDecode();
}

void AVDecoder::SetSource(AVModel* model) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    source.store(model);
}

void AVDecoder::SetRender(VideoRender* videoRender) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    render.store(videoRender);
}

void AVDecoder::SetRecorder(Mp4Recorder* mp4Recorder) {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    recorder.store(mp4Recorder);
}

int AVDecoder::StartVideoDecode() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    if (m_videoThread.joinable())
        return 0; // already running
    videoStop.store(0);
    try {
        m_videoThread = std::thread(&AVDecoder::VideoDecodeThread, this);
    } catch (const std::system_error&) {
        videoStop.store(1);
        return -1;
    }
    return 0;
}

void AVDecoder::WakeReader(bool video) {
    // The source's queues outlive the decode threads: the pane stops these first.
    AVModel* model = source.load();
    FrameBufferList* queue = model ? (video ? model->videoQueue : model->audioQueue).get() : nullptr;
    if (queue)
        queue->WakeWaiters();
}

int AVDecoder::StopVideoDecode() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    if (m_videoThread.joinable()) {
        {
            std::lock_guard<NamedMutex> exitGuard(m_exitLock);
            videoStop.store(1);
        }
        WakeReader(true);
        m_videoThread.join();
    }
    return 0;
}

int AVDecoder::StartAudioDecode() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    if (m_audioThread.joinable())
        return 0;
    audioStop.store(0);
    try {
        m_audioThread = std::thread(&AVDecoder::AudioDecodeThread, this);
    } catch (const std::system_error&) {
        audioStop.store(1);
        return -1;
    }
    return 0;
}

int AVDecoder::StopAudioDecode() {
    std::lock_guard<NamedMutex> guard(m_objectLock);
    if (m_audioThread.joinable()) {
        {
            std::lock_guard<NamedMutex> exitGuard(m_exitLock);
            audioStop.store(1);
        }
        WakeReader(false);
        m_audioThread.join();
    }
    return 0;
}

bool AVDecoder::StopRequested(const std::atomic<uint8_t>& flag) {
    std::lock_guard<NamedMutex> exitGuard(m_exitLock);
    return flag.load() == 1;
}

void AVDecoder::VideoDecodeThread() {
    NameThisThread("vantor-vdecode");
    Decoder decoder(AV_CODEC_ID_H264, AVMEDIA_TYPE_VIDEO);
    if (!decoder.IsReady())
        return; // no picture for this pane; the stop joins us
    VideoRender* videoRender = render.load();
    if (videoRender)
        videoRender->StartRender();

    auto submit = [this, videoRender](AVFrame* frame, uint32_t timestamp) {
        ++m_pictures;
        if (videoRender)
            videoRender->SubmitPicture(frame, FrameTimestamp(frame, timestamp));
    };
    while (!StopRequested(videoStop)) {
        AVModel* model = source.load();
        FrameBufferList* queue = model ? model->videoQueue.get() : nullptr;
        FrameBuffer* buf = WaitForFrame(queue, videoStop);
        if (!buf)
            continue;
        const uint32_t timestamp = buf->GetTimestamp();
        decoder.Send(buf->GetData(), buf->GetLength(), timestamp, DecodeVideoMutex(),
                     [&](AVFrame* frame) { submit(frame, timestamp); });
        if (Mp4Recorder* rec = recorder.load())
            rec->PushVideo(buf->GetData(), buf->GetLength(), timestamp);
        queue->Recycle(buf);
        ++m_videoPackets;
        decoder.Receive(DecodeVideoMutex(), [&](AVFrame* frame) { submit(frame, timestamp); });
    }
    if (videoRender)
        videoRender->StopRender();
}

void AVDecoder::AudioDecodeThread() {
    NameThisThread("vantor-adecode");
    WavePlayer player;
    Decoder decoder(AV_CODEC_ID_AAC, AVMEDIA_TYPE_AUDIO);
    if (!decoder.IsReady())
        return;
    player.OpenOutput();

    VideoRender* videoRender = render.load();
    auto write = [this, &player, videoRender](AVFrame* frame, uint32_t timestamp) {
        ++m_audioBlocks;
        // The player takes 32-bit float samples: with planar float the first
        // plane is the first channel alone, nb_samples x 4 bytes of it.
        if (frame->format != AV_SAMPLE_FMT_FLTP &&
            !(frame->format == AV_SAMPLE_FMT_FLT && frame->ch_layout.nb_channels == 1))
            return;
        const uint32_t bytes = static_cast<uint32_t>(frame->nb_samples) * 4;
        m_audioBytes += bytes;
        // Sound is kept at most kMaxSoundDelayMs behind: when the player holds
        // more, the start of the block is left out (a few milliseconds each
        // time a device plays slower than the camera records).
        const uint32_t delay = player.GetDelayMs();
        const uint32_t skip = std::min<uint32_t>(
            delay > kMaxSoundDelayMs ? (delay - kMaxSoundDelayMs) * kPlayerSamplesPerMs : 0, frame->nb_samples);
        if (skip == static_cast<uint32_t>(frame->nb_samples) ||
            player.WriteSamples(WavePlayer::kSampleFloat, frame->data[0] + skip * 4, bytes - skip * 4,
                                frame->ch_layout.nb_channels, frame->sample_rate) != 0)
            return;
        if (videoRender)
            videoRender->NoteSound(FrameTimestamp(frame, timestamp) + skip * 1000 / kPlayerSamplesPerMs,
                                   GetTickCount() + std::min(delay, kMaxSoundDelayMs));
    };
    while (!StopRequested(audioStop)) {
        AVModel* model = source.load();
        FrameBufferList* queue = model ? model->audioQueue.get() : nullptr;
        FrameBuffer* buf = WaitForFrame(queue, audioStop);
        if (!buf)
            continue;
        const uint32_t timestamp = buf->GetTimestamp();
        auto writeFrame = [&](AVFrame* frame) { write(frame, timestamp); };
        decoder.Send(buf->GetData(), buf->GetLength(), timestamp, DecodeAudioMutex(), writeFrame);
        if (Mp4Recorder* rec = recorder.load())
            rec->PushAudio(buf->GetData(), buf->GetLength(), timestamp);
        queue->Recycle(buf);
        ++m_audioPackets;
        decoder.Receive(DecodeAudioMutex(), writeFrame);
    }
    player.CloseOutput();
}
