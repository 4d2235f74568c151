#include "media/Mp4Recorder.h"

#include "media/RecordingWriter.h"
#include "platform/ThreadName.h"
#include "platform/Tick.h"

#include <cstring>
#include <system_error>

namespace {

// NAL unit types that stay out of a sample.
constexpr int kNalIdr = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;

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

} // namespace

Mp4Recorder::Mp4Recorder() = default;

Mp4Recorder::~Mp4Recorder() {
    Stop();
}

int Mp4Recorder::Start() {
    std::lock_guard<NamedMutex> guard(m_controlMutex);
    if (m_writerThread.joinable())
        return 0;
    m_failed.store(false);
    m_writer = std::make_unique<RecordingWriter>([this](const std::string& name) { SetFileName(name); });
    if (!m_writer->Open()) {
        m_writer.reset();
        return -1;
    }
    exitFlag.store(0);
    videoQueue = std::make_unique<FrameBufferList>(kVideoBuffers, kVideoBufferSize, false);
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
    NameThisThread("vantor-record");
    RecordingWriter& writer = *m_writer;
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
