#include "media/RecordingWriter.h"

#include "media/FileSync.h"
#include "media/H264Sps.h"
#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A fragment ends at each key frame and after at most this much video.
constexpr int64_t kFragmentTicks = Mp4File::kVideoTimeScale;
// Sound gathered while no picture comes is written after this many seconds.
constexpr int64_t kAudioOnlySeconds = 2;
// A finished file takes late sound for at most this long after the change.
constexpr int32_t kLateSoundUs = 2000000;
// How long a recording waits for a key frame before it starts without one.
constexpr int32_t kKeyFrameWaitUs = 10000000;
constexpr uint32_t kAacFrameSamples = 1024;
constexpr int64_t kDefaultFrameUs = 40000;

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

RecordingWriter::RecordingWriter(NameHandler onName)
    : m_onName(std::move(onName)), m_sample(new uint8_t[Mp4Recorder::kSampleBufferSize]) {
    m_parts.sample = m_sample.get();
    m_parts.sampleCapacity = Mp4Recorder::kSampleBufferSize;
}

RecordingWriter::~RecordingWriter() {
    for (Output& out : m_outputs)
        out.file.Close();
    if (m_folder >= 0)
        ::close(m_folder);
}

bool RecordingWriter::Open() {
    m_folder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_folder >= 0 && OpenOutput(*m_now);
}

bool RecordingWriter::OpenOutput(Output& out) {
    int fd = CreateRecordingFile(m_folder, out.name);
    if (fd < 0)
        return false;
    out.file.Open(fd);
    out.timeline = FrameTimeline{};
    m_onName(out.name);
    return true;
}

// Finishes a file and puts it on the disk, its folder entry last (a file
// that was synced but whose new name was not is lost with a power cut); one
// without media is removed.
bool RecordingWriter::CloseOutput(Output& out) {
    if (!out.file.IsOpen())
        return true;
    bool ok = out.file.Finish();
    const bool media = out.file.HasMedia();
    m_indexBytes = out.file.GetIndexBytes();
    out.file.Close();
    if (!media) {
        ::unlinkat(m_folder, out.name.c_str(), 0);
        if (&out == m_now)
            m_onName(std::string());
        return ok;
    }
    return FileSync::SyncAll(FileSync::kFolder, m_folder) && ok;
}

bool RecordingWriter::Close() {
    bool ok = CloseOutput(*m_before);
    return CloseOutput(*m_now) && ok;
}

bool RecordingWriter::NewStreamConfiguration() const {
    return (m_parts.spsLength >= 4 && !SameBytes(m_parts.sps, m_parts.spsLength, m_sps, m_spsLength)) ||
           (m_parts.ppsLength > 0 && !SameBytes(m_parts.pps, m_parts.ppsLength, m_pps, m_ppsLength));
}

bool RecordingWriter::Video(const uint8_t* frame, uint32_t length, uint32_t timestamp) {
    Mp4Recorder::SplitH264Frame(frame, length, m_parts);
    if (m_now->timeline.HasBegun() && NewStreamConfiguration()) {
        // This file ends with the frame before this one and the recording goes
        // on in the next file, from the next key frame; the sound for the
        // pictures before it comes later.
        if (!CloseOutput(*m_before))
            return false;
        std::swap(m_now, m_before);
        m_splitStamp = timestamp;
        m_spsLength = 0; // the old parameter sets no longer apply
        m_ppsLength = 0;
        if (!OpenOutput(*m_now))
            return false;
    } else if (m_before->file.IsOpen() && static_cast<int32_t>(timestamp - m_splitStamp) > kLateSoundUs) {
        if (!CloseOutput(*m_before))
            return false;
    }
    if (!m_now->timeline.HasBegun()) {
        if (!ReadyToBegin(timestamp))
            return true;
        m_waitingForKey = false;
        Begin(*m_now, timestamp);
        if (!AddHeldAudio())
            return false;
    }
    if (m_parts.sampleLength == 0)
        return true;
    int64_t dts = 0;
    uint32_t offset = 0;
    m_now->timeline.Video(timestamp, dts, offset);
    Mp4File& file = m_now->file;
    if (!file.AddSample(Mp4File::kVideo, m_parts.sample, m_parts.sampleLength, dts, offset, m_parts.keyFrame))
        return false;
    if (m_parts.keyFrame || file.GetPendingSpan(Mp4File::kVideo) >= kFragmentTicks)
        return file.Flush();
    return true;
}

// A file begins at a key frame whose parameter sets are known (they may have
// come with an earlier frame): frames before it cannot be decoded. A camera
// that sends no key frame for kKeyFrameWaitUs is recorded from the next frame
// anyway, so that its recording is not lost.
bool RecordingWriter::ReadyToBegin(uint32_t timestamp) {
    KeepParameterSets();
    if (m_spsLength < 4 || m_ppsLength == 0) {
        m_waitingForKey = false;
        return false;
    }
    if (m_parts.keyFrame)
        return true;
    if (!m_waitingForKey) {
        m_waitingForKey = true;
        m_waitStamp = timestamp;
    }
    return static_cast<int32_t>(timestamp - m_waitStamp) > kKeyFrameWaitUs;
}

bool RecordingWriter::Audio(const uint8_t* frame, uint32_t length, uint32_t timestamp) {
    if (m_before->file.IsOpen()) {
        if (static_cast<int32_t>(timestamp - m_splitStamp) < 0)
            return PlaceAudio(*m_before, frame, length, timestamp);
        if (!CloseOutput(*m_before)) // the sound has caught up
            return false;
    }
    if (!m_now->timeline.HasBegun()) {
        Hold(frame, length, timestamp);
        return true;
    }
    return PlaceAudio(*m_now, frame, length, timestamp);
}

bool RecordingWriter::PlaceAudio(Output& out, const uint8_t* frame, uint32_t length, uint32_t timestamp) {
    uint32_t header = 0, end = 0;
    Mp4File::AudioFormat format;
    int64_t dts = 0;
    if (!ParseAdts(frame, length, header, end, format) || !out.file.UseAudioFormat(format) ||
        !out.timeline.Audio(timestamp, format.sampleRate, kAacFrameSamples, dts))
        return true; // sound from before the first picture, or not in the track's format
    if (!out.file.AddSample(Mp4File::kAudio, frame + header, end - header, dts, 0, true))
        return false;
    if (out.file.GetPendingSpan(Mp4File::kAudio) >= kAudioOnlySeconds * format.sampleRate)
        return out.file.Flush();
    return true;
}

// Until the first picture the newest sound is held: its stamps decide
// whether it belongs to the recording.
void RecordingWriter::Hold(const uint8_t* frame, uint32_t length, uint32_t timestamp) {
    if (length > Mp4Recorder::kAudioBufferSize)
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

bool RecordingWriter::AddHeldAudio() {
    bool ok = true;
    for (size_t i = 0; i < m_heldCount && ok; ++i)
        ok = PlaceAudio(*m_now, m_held[i].data, m_held[i].length, m_held[i].timestamp);
    m_heldCount = 0;
    return ok;
}

void RecordingWriter::KeepParameterSets() {
    if (m_parts.spsLength >= 4) {
        std::memcpy(m_sps, m_parts.sps, m_parts.spsLength);
        m_spsLength = m_parts.spsLength;
    }
    if (m_parts.ppsLength > 0) {
        std::memcpy(m_pps, m_parts.pps, m_parts.ppsLength);
        m_ppsLength = m_parts.ppsLength;
    }
}

void RecordingWriter::Begin(Output& out, uint32_t timestamp) {
    H264Sps sps;
    if (!H264Sps::Parse(m_sps, m_spsLength, sps)) {
        sps.width = 320; // an SPS this parser cannot read: the former fixed size
        sps.height = 240;
    }
    int64_t frameUs = kDefaultFrameUs;
    if (sps.numUnitsInTick > 0 && sps.timeScale > 0)
        frameUs = int64_t{2000000} * sps.numUnitsInTick / sps.timeScale;
    out.file.SetVideoFormat({m_sps, m_spsLength, m_pps, m_ppsLength, sps.width, sps.height});
    out.timeline.Begin(timestamp, sps.reorderDepth, frameUs);
}
