#include "Mp4Recorder.h"

#include "H264Sps.h"
#include "Tick.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace {

// NAL unit types that stay out of a sample.
constexpr int kNalIdr = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;

// Frames whose time stamps step by more than this (or not forward) get the
// default duration instead.
constexpr uint32_t kMaxStepUs = 10000000;
constexpr uint32_t kDefaultVideoStepUs =
    static_cast<uint32_t>(uint64_t{1000000} * Mp4Recorder::kVideoSampleDuration / Mp4Recorder::kVideoTimeScale);

// Position of the next start code (00 00 01, possibly behind more zeros) at
// or after from, or length.
uint32_t FindStartCode(const uint8_t* data, uint32_t length, uint32_t from) {
    for (uint32_t i = from; i + 3 <= length; ++i) {
        if (data[i + 2] > 1) {
            i += 2;
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
            return i;
    }
    return length;
}

// Creates the file name exclusively, so that no earlier recording (nor one
// of another pane started in the same second) is ever replaced.
bool ClaimFileName(char (&name)[100]) {
    const std::tm now = LocalTime();
    for (int n = 1; n < 1000; ++n) {
        std::memset(name, 0, sizeof name);
        char suffix[8] = "";
        if (n > 1)
            std::snprintf(suffix, sizeof suffix, "-%d", n);
        std::snprintf(name, sizeof name - 1, "LiveVideo-%04d-%02d-%02d-%02d-%02d-%02d%s.mp4", now.tm_year + 1900,
                      now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, suffix);
        int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// The AVCDecoderConfigurationRecord for one SPS and one PPS, 4-byte lengths.
int BuildAvcC(const H264FrameParts& parts, uint8_t* out) {
    int n = 0;
    out[n++] = 1;
    out[n++] = parts.sps[1]; // profile_idc
    out[n++] = parts.sps[2]; // constraint flags
    out[n++] = parts.sps[3]; // level_idc
    out[n++] = 0xFF;         // length size minus one: 3
    out[n++] = 0xE1;         // one SPS
    out[n++] = static_cast<uint8_t>(parts.spsLength >> 8);
    out[n++] = static_cast<uint8_t>(parts.spsLength);
    std::memcpy(out + n, parts.sps, parts.spsLength);
    n += static_cast<int>(parts.spsLength);
    out[n++] = 1; // one PPS
    out[n++] = static_cast<uint8_t>(parts.ppsLength >> 8);
    out[n++] = static_cast<uint8_t>(parts.ppsLength);
    std::memcpy(out + n, parts.pps, parts.ppsLength);
    n += static_cast<int>(parts.ppsLength);
    return n;
}

bool SetExtradata(AVCodecParameters* par, const uint8_t* data, int size) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata)
        return false;
    std::memcpy(par->extradata, data, static_cast<size_t>(size));
    par->extradata_size = size;
    return true;
}

} // namespace

// The open MP4 file of one writer thread and the sample clocks of its tracks.
class Mp4Recorder::Writer {
public:
    ~Writer() {
        Close();
        av_packet_free(&m_packet);
    }

    bool IsOpen() const { return m_context != nullptr; }

    // Creates the file with both tracks from the frame's parameter sets.
    bool Open(const H264FrameParts& parts, std::string& fileName) {
        m_packet = av_packet_alloc();
        char name[100];
        if (!m_packet || !ClaimFileName(name))
            return false;
        fileName = name;
        if (avformat_alloc_output_context2(&m_context, nullptr, "mp4", name) < 0 || !m_context) {
            m_context = nullptr;
            std::remove(name);
            return false;
        }
        if (!AddTracks(parts) || avio_open(&m_context->pb, name, AVIO_FLAG_WRITE) < 0) {
            Free();
            std::remove(name);
            return false;
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&options, "frag_duration", "1000000", 0);
        av_dict_set_int(&options, "movie_timescale", kMovieTimeScale, 0);
        av_dict_set(&options, "skip_iods", "0", 0);
        av_dict_set_int(&options, "iods_video_profile", 0x7F, 0);
        av_dict_set_int(&options, "iods_audio_profile", 2, 0);
        m_context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
        int result = avformat_write_header(m_context, &options);
        av_dict_free(&options);
        if (result < 0) {
            avio_closep(&m_context->pb);
            Free();
            std::remove(name);
            return false;
        }
        return true;
    }

    // One video sample; its time comes from the frame's time stamp while those
    // step forward, else from the default duration.
    void WriteVideo(const H264FrameParts& parts, uint32_t timestamp) {
        if (parts.sampleLength == 0)
            return;
        if (m_haveVideo) {
            uint32_t step = timestamp - m_lastTimestamp;
            if (static_cast<int32_t>(step) <= 0 || step > kMaxStepUs)
                step = kDefaultVideoStepUs;
            m_videoUs += step;
            m_lastStepUs = step;
        }
        m_haveVideo = true;
        m_lastTimestamp = timestamp;
        int64_t dts = static_cast<int64_t>(m_videoUs * kVideoTimeScale / 1000000);
        if (dts <= m_lastVideoDts)
            dts = m_lastVideoDts + 1;
        m_lastVideoDts = dts;
        AVStream* stream = m_context->streams[0];
        m_packet->data = parts.sample;
        m_packet->size = static_cast<int>(parts.sampleLength);
        m_packet->stream_index = 0;
        m_packet->dts = av_rescale_q(dts, AVRational{1, static_cast<int>(kVideoTimeScale)}, stream->time_base);
        m_packet->pts = m_packet->dts;
        m_packet->duration = av_rescale_q(static_cast<int64_t>(m_lastStepUs) * kVideoTimeScale / 1000000,
                                          AVRational{1, static_cast<int>(kVideoTimeScale)}, stream->time_base);
        m_packet->flags = parts.keyFrame ? AV_PKT_FLAG_KEY : 0;
        av_write_frame(m_context, m_packet);
        m_packet->data = nullptr;
        m_packet->size = 0;
    }

    // One ADTS frame, written without its header as one 1024-sample block.
    void WriteAudio(const uint8_t* frame, uint32_t length) {
        if (length < 7 || frame[0] != 0xFF || (frame[1] & 0xF6) != 0xF0)
            return;                               // not ADTS
        uint32_t header = (frame[1] & 1) ? 7 : 9; // a CRC follows when protection_absent is 0
        if (length <= header)
            return;
        AVStream* stream = m_context->streams[1];
        m_packet->data = const_cast<uint8_t*>(frame + header);
        m_packet->size = static_cast<int>(length - header);
        m_packet->stream_index = 1;
        m_packet->dts =
            av_rescale_q(m_audioSamples, AVRational{1, static_cast<int>(kAudioTimeScale)}, stream->time_base);
        m_packet->pts = m_packet->dts;
        m_packet->duration =
            av_rescale_q(kAudioSampleDuration, AVRational{1, static_cast<int>(kAudioTimeScale)}, stream->time_base);
        m_packet->flags = AV_PKT_FLAG_KEY;
        av_write_frame(m_context, m_packet);
        m_packet->data = nullptr;
        m_packet->size = 0;
        m_audioSamples += kAudioSampleDuration;
    }

    void Close() {
        if (!m_context)
            return;
        av_write_trailer(m_context);
        avio_closep(&m_context->pb);
        Free();
    }

private:
    bool AddTracks(const H264FrameParts& parts) {
        H264Sps sps;
        if (!H264Sps::Parse(parts.sps, parts.spsLength, sps)) {
            sps.width = 320; // an SPS this parser cannot read: the former fixed size
            sps.height = 240;
        }
        AVStream* video = avformat_new_stream(m_context, nullptr);
        if (!video)
            return false;
        video->time_base = AVRational{1, static_cast<int>(kVideoTimeScale)};
        AVCodecParameters* vp = video->codecpar;
        vp->codec_type = AVMEDIA_TYPE_VIDEO;
        vp->codec_id = AV_CODEC_ID_H264;
        vp->codec_tag = MKTAG('a', 'v', 'c', '1');
        vp->width = sps.width;
        vp->height = sps.height;
        uint8_t avcC[16 + 2 * H264FrameParts::kParameterSetCapacity];
        if (!SetExtradata(vp, avcC, BuildAvcC(parts, avcC)))
            return false;

        AVStream* audio = avformat_new_stream(m_context, nullptr);
        if (!audio)
            return false;
        audio->time_base = AVRational{1, static_cast<int>(kAudioTimeScale)};
        AVCodecParameters* ap = audio->codecpar;
        ap->codec_type = AVMEDIA_TYPE_AUDIO;
        ap->codec_id = AV_CODEC_ID_AAC;
        ap->sample_rate = static_cast<int>(kAudioTimeScale);
        av_channel_layout_default(&ap->ch_layout, 1);
        ap->frame_size = static_cast<int>(kAudioSampleDuration);
        // AAC-LC, 8000 Hz (index 11), one channel.
        const uint8_t config[2] = {0x15, 0x88};
        return SetExtradata(ap, config, 2);
    }

    void Free() {
        av_packet_free(&m_packet);
        avformat_free_context(m_context);
        m_context = nullptr;
    }

    AVFormatContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    bool m_haveVideo = false;
    uint32_t m_lastTimestamp = 0;
    uint32_t m_lastStepUs = kDefaultVideoStepUs;
    uint64_t m_videoUs = 0;
    int64_t m_lastVideoDts = -1;
    int64_t m_audioSamples = 0;
};

Mp4Recorder::Mp4Recorder() = default;

Mp4Recorder::~Mp4Recorder() {
    Stop();
}

int Mp4Recorder::Start() {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    if (m_writerThread.joinable())
        return 0;
    exitFlag.store(0);
    videoQueue = std::make_unique<FrameBufferList>(kVideoBuffers, kVideoBufferSize);
    audioQueue = std::make_unique<FrameBufferList>(kAudioBuffers, kAudioBufferSize);
    try {
        m_writerThread = std::thread(&Mp4Recorder::WriterThread, this);
    } catch (const std::system_error&) {
        exitFlag.store(1);
        videoQueue.reset();
        audioQueue.reset();
        return -1;
    }
    return 0;
}

int Mp4Recorder::Stop() {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    if (m_writerThread.joinable()) {
        {
            std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
            exitFlag.store(1);
        }
        m_writerThread.join();
        videoQueue.reset();
        audioQueue.reset();
    }
    return 0;
}

int Mp4Recorder::PushVideo(const uint8_t* data, uint32_t length, uint32_t timestamp) {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    return Push(videoQueue.get(), data, length, timestamp);
}

int Mp4Recorder::PushAudio(const uint8_t* data, uint32_t length, uint32_t timestamp) {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    return Push(audioQueue.get(), data, length, timestamp);
}

int Mp4Recorder::Push(FrameBufferList* queue, const uint8_t* data, uint32_t length, uint32_t timestamp) {
    // A frame larger than a buffer is dropped: a part of it would be garbage.
    if (!m_writerThread.joinable() || !queue || !data || length > queue->GetBufferSize())
        return 0;
    FrameBuffer* buf = queue->AcquireFree();
    if (!buf)
        return 0;
    buf->SetLength(length);
    buf->SetTimestamp(timestamp);
    std::memcpy(buf->GetData(), data, length);
    queue->MarkReady(buf);
    return 0;
}

std::string Mp4Recorder::GetFileName() {
    std::lock_guard<std::mutex> guard(m_nameMutex);
    return m_fileName;
}

bool Mp4Recorder::ExitRequested() {
    std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
    return exitFlag.load() == 1;
}

void Mp4Recorder::WriterThread() {
    std::unique_ptr<uint8_t[]> sampleBuffer(new uint8_t[kSampleBufferSize]);
    H264FrameParts parts;
    parts.sample = sampleBuffer.get();
    parts.sampleCapacity = kSampleBufferSize;
    Writer writer;
    bool failed = false;

    // Handles what is queued now; false when nothing was.
    auto pass = [&]() {
        bool worked = false;
        if (FrameBuffer* frame = videoQueue->TakeReady()) {
            worked = true;
            SplitH264Frame(frame->GetData(), frame->GetLength(), parts);
            const uint32_t timestamp = frame->GetTimestamp();
            videoQueue->Recycle(frame);
            if (!writer.IsOpen() && parts.spsLength > 0 && parts.ppsLength > 0) {
                std::string name;
                bool opened = writer.Open(parts, name);
                {
                    std::lock_guard<std::mutex> nameGuard(m_nameMutex);
                    m_fileName = opened ? name : std::string();
                }
                failed = !opened;
            }
            // The frame that opens the file is its first sample: it holds the
            // key frame that the following ones depend on.
            if (writer.IsOpen())
                writer.WriteVideo(parts, timestamp);
        }
        // Every audio frame that is ready; before the file exists they precede
        // the first picture and are let go.
        while (FrameBuffer* frame = audioQueue->TakeReady()) {
            worked = true;
            if (writer.IsOpen())
                writer.WriteAudio(frame->GetData(), frame->GetLength());
            audioQueue->Recycle(frame);
        }
        return worked;
    };

    while (!failed && !ExitRequested()) {
        if (!pass())
            Sleep(20);
    }
    // Frames pushed before the stop still belong to the recording.
    for (uint32_t i = 0; !failed && i < kVideoBuffers + 1 && pass(); ++i) {
    }
    writer.Close();
}

void Mp4Recorder::SplitH264Frame(const uint8_t* frame, uint32_t length, H264FrameParts& parts) {
    parts.spsLength = 0;
    parts.ppsLength = 0;
    parts.sampleLength = 0;
    parts.keyFrame = false;
    if (!frame)
        return;
    // The first NAL unit follows the first 4-byte start code; bytes before it
    // are ignored. Later units may also follow the 3-byte form.
    uint32_t begin = length;
    for (uint32_t i = 0; i + 4 <= length; ++i) {
        if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 0 && frame[i + 3] == 1) {
            begin = i + 4;
            break;
        }
    }
    while (begin < length) {
        uint32_t next = FindStartCode(frame, length, begin);
        uint32_t end = next;
        while (end > begin && frame[end - 1] == 0) // trailing zero bytes belong to the next start code
            --end;
        if (end > begin) {
            const uint8_t* nal = frame + begin;
            const uint32_t size = end - begin;
            const int type = nal[0] & 0x1F;
            if (type == kNalSps || type == kNalPps) {
                // Longer parameter sets than the buffer holds are left out.
                if (size <= H264FrameParts::kParameterSetCapacity) {
                    std::memcpy(type == kNalSps ? parts.sps : parts.pps, nal, size);
                    (type == kNalSps ? parts.spsLength : parts.ppsLength) = size;
                }
            } else if (type != kNalSei && type != kNalAud) {
                if (parts.sample && parts.sampleLength <= parts.sampleCapacity &&
                    size <= parts.sampleCapacity - parts.sampleLength &&
                    parts.sampleCapacity - parts.sampleLength - size >= 4) {
                    uint8_t* out = parts.sample + parts.sampleLength;
                    out[0] = static_cast<uint8_t>(size >> 24);
                    out[1] = static_cast<uint8_t>(size >> 16);
                    out[2] = static_cast<uint8_t>(size >> 8);
                    out[3] = static_cast<uint8_t>(size);
                    std::memcpy(out + 4, nal, size);
                    parts.sampleLength += 4 + size;
                    if (type == kNalIdr)
                        parts.keyFrame = true;
                }
            }
        }
        if (next >= length)
            break;
        begin = next + 3;
    }
}
