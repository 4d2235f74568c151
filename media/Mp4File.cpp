#include "media/Mp4File.h"

#include "media/FileSync.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr uint32_t kTrackIds[2] = {1, 2};
constexpr uint32_t kDefaultVideoDuration = Mp4File::kVideoTimeScale / 25;
constexpr uint32_t kAacFrameSamples = 1024;
constexpr uint32_t kSyncSampleFlags = 0x02000000;    // depends on no other sample
constexpr uint32_t kNonSyncSampleFlags = 0x01010000; // depends on others; not a sync sample
constexpr uint64_t kSecondsFrom1904To1970 = 2082844800;
constexpr uint32_t kMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

uint64_t Rescale(uint64_t value, uint64_t to, uint64_t from) {
    return from == 0 ? 0 : (value * to + from / 2) / from;
}

} // namespace

Mp4File::~Mp4File() {
    Close();
}

void Mp4File::Open(int fd) {
    Close();
    m_fd = fd;
    m_failed = false;
    m_headerWritten = false;
    m_size = 0;
    m_indexBytes = 0;
    m_sequence = 0;
    m_createdAt = static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)) + kSecondsFrom1904To1970);
    m_spsLength = m_ppsLength = 0;
    m_width = m_height = 0;
    m_audioFormat = AudioFormat{};
    const size_t capacity[2] = {kVideoBufferBytes, kAudioBufferBytes};
    for (int t = 0; t < 2; ++t) {
        TrackData& track = m_tracks[t];
        track = TrackData{};
        track.bytes.resize(capacity[t]);
        track.pending.reserve(1024);
        track.index.reserve(t == kVideo ? 32768 : 16384);
        track.chunks.reserve(4096);
    }
    m_box.Reserve(64 * 1024);
}

void Mp4File::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    for (TrackData& track : m_tracks)
        track = TrackData{};
}

void Mp4File::SetVideoFormat(const VideoFormat& format) {
    m_spsLength = std::min(format.spsLength, kParameterSetCapacity);
    m_ppsLength = std::min(format.ppsLength, kParameterSetCapacity);
    std::memcpy(m_sps, format.sps, m_spsLength);
    std::memcpy(m_pps, format.pps, m_ppsLength);
    m_width = format.width;
    m_height = format.height;
}

bool Mp4File::UseAudioFormat(const AudioFormat& format) {
    if (!m_headerWritten)
        m_audioFormat = format;
    return format == m_audioFormat;
}

bool Mp4File::AddSample(Track track, const uint8_t* data, uint32_t size, int64_t dts, uint32_t offset, bool sync) {
    if (m_failed || m_fd < 0)
        return false;
    TrackData& t = m_tracks[track];
    if (size > t.bytes.size() - t.used) {
        if (!Flush())
            return false;
        if (size > t.bytes.size() - t.used)
            return true; // larger than a fragment can hold: left out
    }
    if (t.pending.empty() && t.index.empty())
        t.firstDts = dts;
    std::memcpy(t.bytes.data() + t.used, data, size);
    t.used += size;
    t.pending.push_back({size, dts, offset, sync});
    return true;
}

int64_t Mp4File::GetPendingSpan(Track track) const {
    const std::vector<Pending>& pending = m_tracks[track].pending;
    return pending.size() < 2 ? 0 : pending.back().dts - pending.front().dts;
}

bool Mp4File::Flush() {
    return WriteFragment(true);
}

uint32_t Mp4File::DurationOf(const TrackData& track, size_t i, uint32_t fallback) const {
    if (i + 1 >= track.pending.size())
        return fallback;
    int64_t step = track.pending[i + 1].dts - track.pending[i].dts;
    return static_cast<uint32_t>(std::clamp<int64_t>(step, 1, UINT32_MAX));
}

bool Mp4File::WriteFragment(bool keepNewest) {
    if (m_failed || m_fd < 0)
        return false;
    size_t count[2];
    size_t bytes[2] = {0, 0};
    uint32_t fallback[2];
    for (int t = 0; t < 2; ++t) {
        const TrackData& track = m_tracks[t];
        count[t] = track.pending.size() - (keepNewest && !track.pending.empty() ? 1 : 0);
        for (size_t i = 0; i < count[t]; ++i)
            bytes[t] += track.pending[i].size;
        fallback[t] =
            t == kAudio ? kAacFrameSamples : (track.lastDuration ? track.lastDuration : kDefaultVideoDuration);
    }
    if (count[kVideo] == 0 && count[kAudio] == 0)
        return true;
    if (!StillLinked()) {
        Fail();
        return false;
    }

    m_box.Clear();
    if (!m_headerWritten)
        BuildFileHeader();
    const size_t headerSize = m_box.Size();
    size_t dataOffsetAt[2] = {0, 0};
    BuildMoof(count, dataOffsetAt);
    const size_t moofSize = m_box.Size() - headerSize;
    m_box.U32(static_cast<uint32_t>(8 + bytes[kVideo] + bytes[kAudio]));
    m_box.Type("mdat");
    if (count[kVideo] > 0)
        m_box.PatchU32(dataOffsetAt[kVideo], static_cast<uint32_t>(moofSize + 8));
    if (count[kAudio] > 0)
        m_box.PatchU32(dataOffsetAt[kAudio], static_cast<uint32_t>(moofSize + 8 + bytes[kVideo]));
    iovec parts[3] = {{const_cast<uint8_t*>(m_box.Data()), m_box.Size()},
                      {m_tracks[kVideo].bytes.data(), bytes[kVideo]},
                      {m_tracks[kAudio].bytes.data(), bytes[kAudio]}};
    if (!WriteAll(parts, 3)) {
        Fail();
        return false;
    }

    uint64_t dataAt = m_size + headerSize + moofSize + 8;
    for (int t = 0; t < 2; ++t) {
        TrackData& track = m_tracks[t];
        if (count[t] == 0)
            continue;
        track.chunks.push_back({dataAt, static_cast<uint32_t>(count[t])});
        dataAt += bytes[t];
        for (size_t i = 0; i < count[t]; ++i) {
            const Pending& p = track.pending[i];
            uint32_t duration = DurationOf(track, i, fallback[t]);
            track.index.push_back({p.size, duration, p.offset, p.sync});
            track.lastDuration = duration;
        }
        track.pending.erase(track.pending.begin(), track.pending.begin() + static_cast<ptrdiff_t>(count[t]));
        std::memmove(track.bytes.data(), track.bytes.data() + bytes[t], track.used - bytes[t]);
        track.used -= bytes[t];
    }
    m_size += parts[0].iov_len + bytes[kVideo] + bytes[kAudio];
    m_headerWritten = true;
    return true;
}

bool Mp4File::Finish() {
    if (m_fd < 0)
        return false;
    bool ok = !m_failed && WriteFragment(false);
    if (!HasMedia())
        return ok;
    m_box.Clear();
    BuildMoov(true);
    m_indexBytes = m_box.Size();
    const uint64_t moovAt = m_size;
    iovec part = {const_cast<uint8_t*>(m_box.Data()), m_box.Size()};
    if (!WriteAll(&part, 1)) {
        Fail();
        return false;
    }
    m_size += m_box.Size();
    // Everything the new header points at must be on the disk before the
    // header is: a header that reached the disk without its index would
    // leave a file that does not play at all.
    if (!FileSync::SyncData(FileSync::kData, m_fd)) {
        m_failed = true;
        return false;
    }
    // The reserved box becomes the header of one mdat over all fragments.
    const uint64_t span = moovAt - m_reservedAt;
    uint8_t header[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
    for (int i = 0; i < 8; ++i)
        header[8 + i] = static_cast<uint8_t>(span >> (56 - 8 * i));
    if (!FileSync::Allow(FileSync::kHeaderRewrite, m_fd) ||
        ::pwrite(m_fd, header, sizeof header, static_cast<off_t>(m_reservedAt)) !=
            static_cast<ssize_t>(sizeof header) ||
        !FileSync::SyncData(FileSync::kHeaderSync, m_fd)) {
        m_failed = true;
        return false;
    }
    return ok;
}

bool Mp4File::WriteAll(const iovec* parts, int count) {
    iovec left[3];
    int n = 0;
    for (int i = 0; i < count && n < 3; ++i)
        if (parts[i].iov_len > 0)
            left[n++] = parts[i];
    int first = 0;
    while (first < n) {
        ssize_t written = ::writev(m_fd, left + first, n - first);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        size_t rest = static_cast<size_t>(written);
        while (first < n && rest >= left[first].iov_len)
            rest -= left[first++].iov_len;
        if (first < n) {
            left[first].iov_base = static_cast<uint8_t*>(left[first].iov_base) + rest;
            left[first].iov_len -= rest;
        }
    }
    return true;
}

// A file whose folder was removed can still be written, but nothing of it
// will remain once it is closed.
bool Mp4File::StillLinked() {
    struct stat st {};
    return ::fstat(m_fd, &st) == 0 && st.st_nlink > 0;
}

// Cuts the file back to its last complete box, so that it stays playable.
void Mp4File::Fail() {
    m_failed = true;
    if (::ftruncate(m_fd, static_cast<off_t>(m_size)) == 0)
        ::lseek(m_fd, static_cast<off_t>(m_size), SEEK_SET);
}

void Mp4File::BuildFileHeader() {
    m_box.Open("ftyp");
    m_box.Type("isom");
    m_box.U32(0x200);
    m_box.Type("isom");
    m_box.Type("iso2");
    m_box.Type("avc1");
    m_box.Type("mp41");
    m_box.Type("iso5"); // fragments use default-base-is-moof
    m_box.Close();
    m_reservedAt = m_size + m_box.Size();
    m_box.U32(16);
    m_box.Type("free");
    m_box.U64(0);
    BuildMoov(false);
}

void Mp4File::BuildMoof(const size_t (&count)[2], size_t (&dataOffsetAt)[2]) {
    m_box.Open("moof");
    m_box.OpenFull("mfhd", 0, 0);
    m_box.U32(++m_sequence);
    m_box.Close();
    for (int t = 0; t < 2; ++t) {
        if (count[t] == 0)
            continue;
        const TrackData& track = m_tracks[t];
        const bool video = t == kVideo;
        m_box.Open("traf");
        m_box.OpenFull("tfhd", 0, 0x020000); // default-base-is-moof
        m_box.U32(kTrackIds[t]);
        m_box.Close();
        m_box.OpenFull("tfdt", 1, 0);
        m_box.U64(static_cast<uint64_t>(track.pending[0].dts));
        m_box.Close();
        // data offset, then per sample: duration, size, flags (and composition offset)
        m_box.OpenFull("trun", 0, 0x000001 | 0x000100 | 0x000200 | 0x000400 | (video ? 0x000800 : 0));
        m_box.U32(static_cast<uint32_t>(count[t]));
        dataOffsetAt[t] = m_box.Placeholder();
        const uint32_t fallback =
            video ? (track.lastDuration ? track.lastDuration : kDefaultVideoDuration) : kAacFrameSamples;
        for (size_t i = 0; i < count[t]; ++i) {
            const Pending& p = track.pending[i];
            m_box.U32(DurationOf(track, i, fallback));
            m_box.U32(p.size);
            m_box.U32(p.sync ? kSyncSampleFlags : kNonSyncSampleFlags);
            if (video)
                m_box.U32(p.offset);
        }
        m_box.Close();
        m_box.Close();
    }
    m_box.Close();
}

uint64_t Mp4File::MediaDuration(Track track) const {
    uint64_t sum = 0;
    for (const Entry& e : m_tracks[track].index)
        sum += e.duration;
    return sum;
}

// Where the sound starts, in movie ticks after the picture starts (the first
// video sample's presentation time); negative when it starts before.
int64_t Mp4File::SoundOffset() const {
    const TrackData& video = m_tracks[kVideo];
    const int64_t pictureStart = video.firstDts + video.index[0].offset;
    const uint64_t soundStart = static_cast<uint64_t>(m_tracks[kAudio].firstDts);
    return static_cast<int64_t>(Rescale(soundStart, kMovieTimeScale, m_audioFormat.sampleRate)) - pictureStart;
}

uint64_t Mp4File::EditDuration(Track track) const {
    if (m_tracks[track].index.empty() || m_tracks[kVideo].index.empty())
        return 0;
    if (track == kVideo)
        return MediaDuration(kVideo);
    const int64_t length =
        static_cast<int64_t>(Rescale(MediaDuration(kAudio), kMovieTimeScale, m_audioFormat.sampleRate));
    return static_cast<uint64_t>(std::max<int64_t>(0, SoundOffset() + length));
}

// Opens mvhd, tkhd or mdhd and writes the fields up to the duration, in
// 64-bit form (version 1) only when the duration needs it.
void Mp4File::OpenHeader(const char (&type)[5], uint32_t flags, uint32_t field, bool trackHeader, uint64_t duration) {
    const bool wide = duration > UINT32_MAX;
    m_box.OpenFull(type, wide ? 1 : 0, flags);
    for (int i = 0; i < 2; ++i) { // creation and modification time
        if (wide)
            m_box.U64(m_createdAt);
        else
            m_box.U32(m_createdAt);
    }
    m_box.U32(field); // time scale, or track id
    if (trackHeader)
        m_box.U32(0);
    if (wide)
        m_box.U64(duration);
    else
        m_box.U32(static_cast<uint32_t>(duration));
}

void Mp4File::BuildMoov(bool complete) {
    const uint64_t duration = complete ? std::max(EditDuration(kVideo), EditDuration(kAudio)) : 0;
    m_box.Open("moov");
    OpenHeader("mvhd", 0, kMovieTimeScale, false, duration);
    m_box.U32(0x00010000); // rate 1.0
    m_box.U16(0x0100);     // volume 1.0
    m_box.Zeros(10);
    for (uint32_t value : kMatrix)
        m_box.U32(value);
    m_box.Zeros(24);
    m_box.U32(3); // next track id
    m_box.Close();
    // Object descriptor with the profile-level indications: audio 2, video 0x7F.
    m_box.OpenFull("iods", 0, 0);
    for (uint8_t byte : {0x10, 0x07, 0x00, 0x4F, 0xFF, 0xFF, 0x02, 0x7F, 0xFF})
        m_box.U8(byte);
    m_box.Close();
    BuildTrack(kVideo, complete);
    BuildTrack(kAudio, complete);
    if (!complete) {
        m_box.Open("mvex");
        for (uint32_t id : kTrackIds) {
            m_box.OpenFull("trex", 0, 0);
            m_box.U32(id);
            m_box.U32(1); // sample description
            m_box.U32(0); // default duration, size and flags: every fragment gives its own
            m_box.U32(0);
            m_box.U32(0);
            m_box.Close();
        }
        m_box.Close();
    }
    m_box.Close();
}

void Mp4File::BuildTrack(Track track, bool complete) {
    const bool video = track == kVideo;
    const uint64_t trackDuration = complete ? EditDuration(track) : 0;
    const uint64_t mediaDuration = complete ? MediaDuration(track) : 0;
    const uint32_t timeScale = video ? kVideoTimeScale : m_audioFormat.sampleRate;
    m_box.Open("trak");
    OpenHeader("tkhd", 0x000003, kTrackIds[track], true, trackDuration); // enabled, in the movie
    m_box.Zeros(8);
    m_box.U16(0);                  // layer
    m_box.U16(0);                  // alternate group
    m_box.U16(video ? 0 : 0x0100); // volume
    m_box.U16(0);
    for (uint32_t value : kMatrix)
        m_box.U32(value);
    m_box.U32(video ? static_cast<uint32_t>(m_width) << 16 : 0);
    m_box.U32(video ? static_cast<uint32_t>(m_height) << 16 : 0);
    m_box.Close();
    if (complete && !m_tracks[track].index.empty() && !m_tracks[kVideo].index.empty())
        BuildEdits(track);

    m_box.Open("mdia");
    OpenHeader("mdhd", 0, timeScale, false, mediaDuration);
    m_box.U16(0x55C4); // language "und"
    m_box.U16(0);
    m_box.Close();
    m_box.OpenFull("hdlr", 0, 0);
    m_box.U32(0);
    m_box.Type(video ? "vide" : "soun");
    m_box.Zeros(12);
    const char* name = video ? "VideoHandler" : "SoundHandler";
    m_box.Bytes(reinterpret_cast<const uint8_t*>(name), std::strlen(name) + 1);
    m_box.Close();
    m_box.Open("minf");
    if (video) {
        m_box.OpenFull("vmhd", 0, 1);
        m_box.Zeros(8);
    } else {
        m_box.OpenFull("smhd", 0, 0);
        m_box.Zeros(4);
    }
    m_box.Close();
    m_box.Open("dinf");
    m_box.OpenFull("dref", 0, 0);
    m_box.U32(1);
    m_box.OpenFull("url ", 0, 1); // the data is in this file
    m_box.Close();
    m_box.Close();
    m_box.Close();
    m_box.Open("stbl");
    BuildSampleEntry(track);
    BuildSampleTables(track, complete);
    m_box.Close();
    m_box.Close(); // minf
    m_box.Close(); // mdia
    m_box.Close(); // trak
}

// The picture starts at movie time 0 with the first sample's presentation
// time; the sound starts at its own offset from it: an empty edit when it
// begins later, a skip into its media when it begins earlier.
void Mp4File::BuildEdits(Track track) {
    struct Edit {
        uint64_t duration;
        int64_t mediaTime;
    } edits[2];
    int count = 0;
    const uint64_t editDuration = EditDuration(track);
    const int64_t offset = track == kAudio ? SoundOffset() : 0;
    if (track == kVideo) {
        edits[count++] = {editDuration, m_tracks[kVideo].index[0].offset};
    } else if (offset > 0) {
        edits[count++] = {static_cast<uint64_t>(offset), -1}; // nothing to play
        edits[count++] = {editDuration - static_cast<uint64_t>(offset), 0};
    } else {
        const uint64_t skip = Rescale(static_cast<uint64_t>(-offset), m_audioFormat.sampleRate, kMovieTimeScale);
        edits[count++] = {editDuration, static_cast<int64_t>(skip)};
    }
    bool wide = false;
    for (int i = 0; i < count; ++i)
        wide = wide || edits[i].duration > UINT32_MAX || edits[i].mediaTime > INT32_MAX;
    m_box.Open("edts");
    m_box.OpenFull("elst", wide ? 1 : 0, 0);
    m_box.U32(static_cast<uint32_t>(count));
    for (int i = 0; i < count; ++i) {
        if (wide) {
            m_box.U64(edits[i].duration);
            m_box.U64(static_cast<uint64_t>(edits[i].mediaTime));
        } else {
            m_box.U32(static_cast<uint32_t>(edits[i].duration));
            m_box.U32(static_cast<uint32_t>(edits[i].mediaTime));
        }
        m_box.U32(0x00010000); // rate 1
    }
    m_box.Close();
    m_box.Close();
}

void Mp4File::BuildSampleEntry(Track track) {
    m_box.OpenFull("stsd", 0, 0);
    m_box.U32(1);
    if (track == kVideo) {
        m_box.Open("avc1");
        m_box.Zeros(6);
        m_box.U16(1); // data reference
        m_box.Zeros(16);
        m_box.U16(static_cast<uint32_t>(m_width));
        m_box.U16(static_cast<uint32_t>(m_height));
        m_box.U32(0x00480000); // 72 dpi
        m_box.U32(0x00480000);
        m_box.U32(0);
        m_box.U16(1); // frames per sample
        m_box.Zeros(32);
        m_box.U16(0x0018);
        m_box.U16(0xFFFF);
        m_box.Open("avcC");
        m_box.U8(1);
        m_box.Bytes(m_sps + 1, 3); // profile, constraint flags, level
        m_box.U8(0xFF);            // 4-byte NAL lengths
        m_box.U8(0xE1);            // one SPS
        m_box.U16(m_spsLength);
        m_box.Bytes(m_sps, m_spsLength);
        m_box.U8(1); // one PPS
        m_box.U16(m_ppsLength);
        m_box.Bytes(m_pps, m_ppsLength);
        m_box.Close();
        m_box.Close();
    } else {
        const AudioFormat& f = m_audioFormat;
        m_box.Open("mp4a");
        m_box.Zeros(6);
        m_box.U16(1); // data reference
        m_box.Zeros(8);
        m_box.U16(f.channels);
        m_box.U16(16); // sample size
        m_box.U32(0);
        m_box.U32(f.sampleRate <= 0xFFFF ? f.sampleRate << 16 : 0);
        m_box.OpenFull("esds", 0, 0);
        // ES descriptor: decoder configuration (MPEG-4 audio, the
        // AudioSpecificConfig), then the SL configuration.
        for (uint8_t byte : {0x03, 25, 0x00, 0x02, 0x00, 0x04, 17, 0x40, 0x15, 0, 0, 0})
            m_box.U8(byte);
        m_box.U32(0); // maximum bit rate
        m_box.U32(0); // average bit rate
        m_box.U8(0x05);
        m_box.U8(2);
        m_box.Bytes(f.config, 2);
        for (uint8_t byte : {0x06, 0x01, 0x02})
            m_box.U8(byte);
        m_box.Close();
        m_box.Close();
    }
    m_box.Close();
}

void Mp4File::BuildSampleTables(Track track, bool complete) {
    static const std::vector<Entry> kNone;
    static const std::vector<Chunk> kNoChunks;
    const TrackData& t = m_tracks[track];
    const std::vector<Entry>& index = complete ? t.index : kNone;
    const std::vector<Chunk>& chunks = complete ? t.chunks : kNoChunks;

    // Runs of equal values: decode durations, then composition offsets.
    auto runs = [&](const char(&type)[5], auto value) {
        m_box.OpenFull(type, 0, 0);
        size_t countAt = m_box.Placeholder();
        uint32_t entries = 0;
        for (size_t i = 0; i < index.size();) {
            size_t j = i + 1;
            while (j < index.size() && value(index[j]) == value(index[i]))
                ++j;
            m_box.U32(static_cast<uint32_t>(j - i));
            m_box.U32(value(index[i]));
            ++entries;
            i = j;
        }
        m_box.PatchU32(countAt, entries);
        m_box.Close();
    };
    runs("stts", [](const Entry& e) { return e.duration; });
    const bool offsets = std::any_of(index.begin(), index.end(), [](const Entry& e) { return e.offset != 0; });
    if (offsets)
        runs("ctts", [](const Entry& e) { return e.offset; });
    const bool allSync = std::all_of(index.begin(), index.end(), [](const Entry& e) { return e.sync; });
    if (!allSync) {
        m_box.OpenFull("stss", 0, 0);
        size_t countAt = m_box.Placeholder();
        uint32_t entries = 0;
        for (size_t i = 0; i < index.size(); ++i) {
            if (index[i].sync) {
                m_box.U32(static_cast<uint32_t>(i + 1));
                ++entries;
            }
        }
        m_box.PatchU32(countAt, entries);
        m_box.Close();
    }
    m_box.OpenFull("stsc", 0, 0);
    size_t countAt = m_box.Placeholder();
    uint32_t entries = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i == 0 || chunks[i].samples != chunks[i - 1].samples) {
            m_box.U32(static_cast<uint32_t>(i + 1));
            m_box.U32(chunks[i].samples);
            m_box.U32(1);
            ++entries;
        }
    }
    m_box.PatchU32(countAt, entries);
    m_box.Close();
    m_box.OpenFull("stsz", 0, 0);
    m_box.U32(0);
    m_box.U32(static_cast<uint32_t>(index.size()));
    for (const Entry& e : index)
        m_box.U32(e.size);
    m_box.Close();
    const bool wide = !chunks.empty() && chunks.back().position > UINT32_MAX;
    if (wide)
        m_box.OpenFull("co64", 0, 0);
    else
        m_box.OpenFull("stco", 0, 0);
    m_box.U32(static_cast<uint32_t>(chunks.size()));
    for (const Chunk& c : chunks) {
        if (wide)
            m_box.U64(c.position);
        else
            m_box.U32(static_cast<uint32_t>(c.position));
    }
    m_box.Close();
}
