#include "Mp4Recorder.h"

#include "FrameTimeline.h"
#include "H264Sps.h"
#include "Mp4File.h"
#include "Tick.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace {

// NAL unit types that stay out of a sample.
constexpr int kNalIdr = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;

// A fragment ends at each key frame and after at most this much video.
constexpr int64_t kFragmentTicks = Mp4File::kVideoTimeScale;
// Sound gathered while no picture comes is written after this many seconds.
constexpr int64_t kAudioOnlySeconds = 2;
constexpr uint32_t kAacFrameSamples = 1024;
constexpr int64_t kDefaultFrameUs = 40000;

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

// Creates a new recording file in `folder`, never replacing one: an earlier
// recording, or one of another pane started in the same second, keeps its
// name. Returns the open file, or -1.
int CreateRecordingFile(int folder, std::string& fileName) {
    const std::tm now = LocalTime();
    for (int n = 1; n < 1000; ++n) {
        char name[100] = {};
        char suffix[8] = "";
        if (n > 1)
            std::snprintf(suffix, sizeof suffix, "-%d", n);
        std::snprintf(name, sizeof name - 1, "LiveVideo-%04d-%02d-%02d-%02d-%02d-%02d%s.mp4", now.tm_year + 1900,
                      now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, suffix);
        int fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            fileName = name;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// One ADTS frame: where its raw AAC block lies and the format it declares.
// False for anything else, and for frames of several blocks, which would
// have to be split.
bool ParseAdts(const uint8_t* frame, uint32_t length, uint32_t& header, uint32_t& end, Mp4File::AudioFormat& format) {
    static constexpr uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                            22050, 16000, 12000, 11025, 8000,  7350};
    if (length < 7 || frame[0] != 0xFF || (frame[1] & 0xF6) != 0xF0)
        return false;
    header = (frame[1] & 1) ? 7 : 9; // a CRC follows when protection_absent is 0
    const uint32_t objectType = ((frame[2] >> 6) & 3) + 1;
    const uint32_t rateIndex = (frame[2] >> 2) & 0x0F;
    const uint32_t channels = ((frame[2] & 1) << 2) | (frame[3] >> 6);
    const uint32_t frameLength = ((frame[3] & 3u) << 11) | (uint32_t{frame[4]} << 3) | (frame[5] >> 5);
    end = std::min(frameLength, length);
    if (rateIndex >= 13 || channels == 0 || (frame[6] & 3) != 0 || end <= header)
        return false;
    format.config[0] = static_cast<uint8_t>(objectType << 3 | rateIndex >> 1);
    format.config[1] = static_cast<uint8_t>((rateIndex & 1) << 7 | channels << 3);
    format.sampleRate = kRates[rateIndex];
    format.channels = static_cast<uint16_t>(channels);
    return true;
}

bool SameBytes(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
    return aLength == bLength && std::memcmp(a, b, aLength) == 0;
}

} // namespace

// The writer thread's state: the open file, its timeline and the parameter
// sets it was made for.
class Mp4Recorder::Writer {
public:
    explicit Writer(Mp4Recorder& owner) : m_owner(owner), m_sample(new uint8_t[kSampleBufferSize]) {
        m_parts.sample = m_sample.get();
        m_parts.sampleCapacity = kSampleBufferSize;
    }
    ~Writer() {
        m_file.Close();
        if (m_folder >= 0)
            ::close(m_folder);
    }

    // Creates the first file in the current folder.
    bool Open() {
        m_folder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return m_folder >= 0 && OpenFile();
    }

    // One received video frame; false when the file failed.
    bool Video(const uint8_t* frame, uint32_t length, uint32_t timestamp) {
        SplitH264Frame(frame, length, m_parts);
        const bool sps = m_parts.spsLength >= 4;
        const bool pps = m_parts.ppsLength > 0;
        if (!m_timeline.HasBegun()) {
            if (!sps || !pps)
                return true; // nothing can be decoded before the parameter sets
            KeepParameterSets();
            Begin(timestamp);
            if (!AddHeldAudio())
                return false;
        } else if ((sps && !SameBytes(m_parts.sps, m_parts.spsLength, m_sps, m_spsLength)) ||
                   (pps && !SameBytes(m_parts.pps, m_parts.ppsLength, m_pps, m_ppsLength))) {
            // A new stream configuration (picture size): this file ends and the
            // recording goes on in the next one, from this frame.
            KeepParameterSets();
            if (!Close() || !OpenFile())
                return false;
            Begin(timestamp);
        }
        if (m_parts.sampleLength == 0)
            return true;
        int64_t dts = 0;
        uint32_t offset = 0;
        m_timeline.Video(timestamp, dts, offset);
        if (!m_file.AddSample(Mp4File::kVideo, m_parts.sample, m_parts.sampleLength, dts, offset, m_parts.keyFrame))
            return false;
        if (m_parts.keyFrame || m_file.GetPendingSpan(Mp4File::kVideo) >= kFragmentTicks)
            return m_file.Flush();
        return true;
    }

    // One received ADTS frame; false when the file failed. Until the first
    // picture the newest frames are held: their stamps decide whether they
    // belong to the recording.
    bool Audio(const uint8_t* frame, uint32_t length, uint32_t timestamp) {
        if (!m_timeline.HasBegun()) {
            Hold(frame, length, timestamp);
            return true;
        }
        uint32_t header = 0, end = 0;
        Mp4File::AudioFormat format;
        int64_t dts = 0;
        if (!ParseAdts(frame, length, header, end, format) || !m_file.UseAudioFormat(format) ||
            !m_timeline.Audio(timestamp, format.sampleRate, kAacFrameSamples, dts))
            return true; // sound from before the first picture, or not in the track's format
        if (!m_file.AddSample(Mp4File::kAudio, frame + header, end - header, dts, 0, true))
            return false;
        if (m_file.GetPendingSpan(Mp4File::kAudio) >= kAudioOnlySeconds * format.sampleRate)
            return m_file.Flush();
        return true;
    }

    // Finishes the file (as far as it can be after a failure); a file
    // without media is removed. False when anything failed.
    bool Close() {
        if (!m_file.IsOpen())
            return true;
        const bool ok = m_file.Finish();
        const bool media = m_file.HasMedia();
        m_file.Close();
        if (!media) {
            ::unlinkat(m_folder, m_name.c_str(), 0);
            m_owner.SetFileName(std::string());
        }
        return ok;
    }

private:
    bool OpenFile() {
        int fd = CreateRecordingFile(m_folder, m_name);
        if (fd < 0)
            return false;
        m_file.Open(fd);
        m_owner.SetFileName(m_name);
        return true;
    }

    struct HeldAudio {
        uint8_t data[kAudioBufferSize];
        uint32_t length;
        uint32_t timestamp;
    };
    static constexpr size_t kHeldAudioFrames = 8;

    void Hold(const uint8_t* frame, uint32_t length, uint32_t timestamp) {
        if (length > kAudioBufferSize)
            return;
        if (m_heldCount == kHeldAudioFrames) {
            std::move(m_held.begin() + 1, m_held.end(), m_held.begin());
            --m_heldCount;
        }
        HeldAudio& held = m_held[m_heldCount++];
        std::memcpy(held.data, frame, length);
        held.length = length;
        held.timestamp = timestamp;
    }

    bool AddHeldAudio() {
        bool ok = true;
        for (size_t i = 0; i < m_heldCount && ok; ++i)
            ok = Audio(m_held[i].data, m_held[i].length, m_held[i].timestamp);
        m_heldCount = 0;
        return ok;
    }

    void KeepParameterSets() {
        if (m_parts.spsLength >= 4) {
            std::memcpy(m_sps, m_parts.sps, m_parts.spsLength);
            m_spsLength = m_parts.spsLength;
        }
        if (m_parts.ppsLength > 0) {
            std::memcpy(m_pps, m_parts.pps, m_parts.ppsLength);
            m_ppsLength = m_parts.ppsLength;
        }
    }

    void Begin(uint32_t timestamp) {
        H264Sps sps;
        if (!H264Sps::Parse(m_sps, m_spsLength, sps)) {
            sps.width = 320; // an SPS this parser cannot read: the former fixed size
            sps.height = 240;
        }
        int64_t frameUs = kDefaultFrameUs;
        if (sps.numUnitsInTick > 0 && sps.timeScale > 0)
            frameUs = int64_t{2000000} * sps.numUnitsInTick / sps.timeScale;
        m_file.SetVideoFormat({m_sps, m_spsLength, m_pps, m_ppsLength, sps.width, sps.height});
        m_timeline.Begin(timestamp, sps.reorderDepth, frameUs);
    }

    Mp4Recorder& m_owner;
    std::unique_ptr<uint8_t[]> m_sample;
    H264FrameParts m_parts;
    uint8_t m_sps[H264FrameParts::kParameterSetCapacity] = {};
    uint32_t m_spsLength = 0;
    uint8_t m_pps[H264FrameParts::kParameterSetCapacity] = {};
    uint32_t m_ppsLength = 0;
    int m_folder = -1;
    std::string m_name;
    Mp4File m_file;
    FrameTimeline m_timeline;
    std::array<HeldAudio, kHeldAudioFrames> m_held;
    size_t m_heldCount = 0;
};

Mp4Recorder::Mp4Recorder() = default;

Mp4Recorder::~Mp4Recorder() {
    Stop();
}

int Mp4Recorder::Start() {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    if (m_writerThread.joinable())
        return 0;
    m_failed.store(false);
    m_writer = std::make_unique<Writer>(*this);
    if (!m_writer->Open()) {
        m_writer.reset();
        return -1;
    }
    exitFlag.store(0);
    videoQueue = std::make_unique<FrameBufferList>(kVideoBuffers, kVideoBufferSize);
    audioQueue = std::make_unique<FrameBufferList>(kAudioBuffers, kAudioBufferSize);
    try {
        m_writerThread = std::thread(&Mp4Recorder::WriterThread, this);
    } catch (const std::system_error&) {
        exitFlag.store(1);
        videoQueue.reset();
        audioQueue.reset();
        m_writer->Close();
        m_writer.reset();
        return -1;
    }
    return 0;
}

int Mp4Recorder::Stop() {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    if (!m_writerThread.joinable())
        return 0;
    {
        std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
        exitFlag.store(1);
    }
    m_writerThread.join();
    videoQueue.reset();
    audioQueue.reset();
    m_writer.reset();
    return m_failed.load() ? -1 : 0;
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

void Mp4Recorder::SetFailureHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> guard(m_handlerMutex);
    m_failureHandler = std::move(handler);
}

std::string Mp4Recorder::GetFileName() {
    std::lock_guard<std::mutex> guard(m_nameMutex);
    return m_fileName;
}

void Mp4Recorder::SetFileName(const std::string& name) {
    std::lock_guard<std::mutex> guard(m_nameMutex);
    m_fileName = name;
}

bool Mp4Recorder::ExitRequested() {
    std::lock_guard<NamedMutex> exitGuard(m_exitMutex);
    return exitFlag.load() == 1;
}

void Mp4Recorder::WriterThread() {
    Writer& writer = *m_writer;
    bool ok = true;

    // Handles what is queued now; false when nothing was.
    auto pass = [&]() {
        bool worked = false;
        if (FrameBuffer* frame = videoQueue->TakeReady()) {
            worked = true;
            ok = ok && writer.Video(frame->GetData(), frame->GetLength(), frame->GetTimestamp());
            videoQueue->Recycle(frame);
        }
        while (FrameBuffer* frame = audioQueue->TakeReady()) {
            worked = true;
            ok = ok && writer.Audio(frame->GetData(), frame->GetLength(), frame->GetTimestamp());
            audioQueue->Recycle(frame);
        }
        return worked;
    };

    while (ok && !ExitRequested()) {
        if (!pass())
            Sleep(20);
    }
    // Frames pushed before the stop still belong to the recording.
    for (uint32_t i = 0; ok && i < kVideoBuffers + 1 && pass(); ++i) {
    }
    ok = writer.Close() && ok;
    if (!ok) {
        m_failed.store(true);
        if (!ExitRequested()) {
            std::lock_guard<std::mutex> guard(m_handlerMutex);
            if (m_failureHandler)
                m_failureHandler();
        }
    }
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
