#pragma once

#include "media/Mp4BoxWriter.h"

#include <cstdint>
#include <vector>

// One recording on disk: an H.264 track and an AAC track.
//
// While it is written the file is a fragmented MP4: ftyp, a 16-byte free box
// kept for later, a moov that lists the tracks but no samples, then one
// moof + mdat pair per Flush. A file cut off at any moment plays up to its
// last complete fragment. Finish() writes the last fragment, appends a moov
// with the complete sample index (sizes, times, composition offsets, sync
// samples, chunk offsets into the fragments' mdat payloads, edit lists),
// syncs the file, then overwrites the reserved box with the header of one
// mdat that spans everything before that moov and syncs again (FileSync).
// The file is then a plain MP4 (ftyp, mdat, moov); no media byte is read back
// or moved. Should the process die or the power fail before the second sync,
// the file is still the fragmented one, followed by a moov that readers of
// fragmented files skip.
//
// Times: video in 90 kHz ticks, audio in samples, both from one origin (the
// first video decode time). Decode times must increase strictly per track.
// A failed write (disk full) or a file deleted while open makes this and
// every later write fail; the file is cut back to its last complete fragment,
// and Finish() still indexes what that holds.
class Mp4File {
public:
    enum Track { kVideo = 0, kAudio = 1 };
    static constexpr uint32_t kMovieTimeScale = 90000;
    static constexpr uint32_t kVideoTimeScale = 90000;
    static constexpr uint32_t kParameterSetCapacity = 100;
    static constexpr size_t kVideoBufferBytes = 2 * 1024 * 1024;
    static constexpr size_t kAudioBufferBytes = 128 * 1024;

    struct VideoFormat {
        const uint8_t* sps = nullptr; // header byte included
        uint32_t spsLength = 0;
        const uint8_t* pps = nullptr;
        uint32_t ppsLength = 0;
        int width = 0;
        int height = 0;
    };

    struct AudioFormat {
        uint8_t config[2] = {0x15, 0x88}; // AudioSpecificConfig: AAC-LC, 8000 Hz, mono
        uint32_t sampleRate = 8000;
        uint16_t channels = 1;
        bool operator==(const AudioFormat&) const = default;
    };

    Mp4File() = default;
    ~Mp4File();
    Mp4File(const Mp4File&) = delete;
    Mp4File& operator=(const Mp4File&) = delete;

    // Takes over `fd`, an empty file open for writing, and reserves the buffers.
    void Open(int fd);
    // Closes the file as it stands and frees the buffers.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // The video track's parameter sets (at most kParameterSetCapacity bytes
    // each) and picture size; set before the first sample.
    void SetVideoFormat(const VideoFormat& format);
    // The sound's format is adopted until the first fragment is written and
    // fixed from then on: false when the track has another format.
    bool UseAudioFormat(const AudioFormat& format);
    const AudioFormat& GetAudioFormat() const { return m_audioFormat; }

    // Adds a sample to the fragment being gathered. `offset` is the
    // composition offset (presentation minus decode time). False after a
    // write error.
    bool AddSample(Track track, const uint8_t* data, uint32_t size, int64_t dts, uint32_t offset, bool sync);
    // Time covered by the gathered samples of a track whose length is known
    // (all but the newest), in the track's time scale.
    int64_t GetPendingSpan(Track track) const;
    // Writes the gathered samples as one fragment, except the newest of each
    // track: its length is known only when the next one comes.
    bool Flush();
    // Writes the rest and the complete index and puts the file on the disk;
    // false when anything failed, now or before.
    bool Finish();

    // True once a fragment is in the file.
    bool HasMedia() const { return !m_tracks[kVideo].chunks.empty(); }
    bool HasFailed() const { return m_failed; }
    uint64_t GetSize() const { return m_size; }
    uint64_t GetIndexBytes() const { return m_indexBytes; }

private:
    struct Pending {
        uint32_t size;
        int64_t dts;
        uint32_t offset;
        bool sync;
    };
    struct Entry {
        uint32_t size;
        uint32_t duration;
        uint32_t offset;
        bool sync;
    };
    struct Chunk {
        uint64_t position;
        uint32_t samples;
    };
    struct TrackData {
        std::vector<uint8_t> bytes; // sample data of the pending samples, in order
        size_t used = 0;
        std::vector<Pending> pending;
        std::vector<Entry> index;
        std::vector<Chunk> chunks;
        int64_t firstDts = 0;
        uint32_t lastDuration = 0;
    };

    bool WriteFragment(bool keepNewest);
    bool WriteAll(const struct iovec* parts, int count);
    bool StillLinked();
    void Fail();
    uint32_t DurationOf(const TrackData& track, size_t i, uint32_t fallback) const;
    void BuildFileHeader();
    void BuildMoof(const size_t (&count)[2], size_t (&dataOffsetAt)[2]);
    void BuildMoov(bool complete);
    void BuildTrack(Track track, bool complete);
    void BuildSampleEntry(Track track);
    void BuildSampleTables(Track track, bool complete);
    void BuildEdits(Track track);
    void OpenHeader(const char (&type)[5], uint32_t flags, uint32_t field, bool trackHeader, uint64_t duration);
    uint64_t MediaDuration(Track track) const;
    uint64_t EditDuration(Track track) const;
    int64_t SoundOffset() const;

    int m_fd = -1;
    bool m_failed = false;
    bool m_headerWritten = false;
    uint64_t m_size = 0;       // bytes in the file, all of them complete boxes
    uint64_t m_reservedAt = 0; // the 16-byte box that becomes the mdat header
    uint64_t m_indexBytes = 0; // size of the final moov
    uint32_t m_sequence = 0;
    uint32_t m_createdAt = 0; // seconds since 1904
    uint8_t m_sps[kParameterSetCapacity] = {};
    uint32_t m_spsLength = 0;
    uint8_t m_pps[kParameterSetCapacity] = {};
    uint32_t m_ppsLength = 0;
    int m_width = 0;
    int m_height = 0;
    AudioFormat m_audioFormat;
    TrackData m_tracks[2];
    Mp4BoxWriter m_box;
};
