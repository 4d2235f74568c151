#pragma once

#include "tools/camsim/VideoEncoder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVBSFContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// Reads the video of a media file as H.264 Annex B access units, looping for
// ever, or of a live input (a V4L2 camera, or anything libavdevice reads)
// as it comes, never waiting for it. An H.264 stream passes through the h264_mp4toannexb bitstream filter
// unchanged, B-frames included (access units above the size limit are
// skipped up to the next key frame); any other codec is decoded, scaled and
// encoded anew.
class SourceReader {
public:
    SourceReader() = default;
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // `format` empty: `path` is a media file. Otherwise the input format that
    // reads `path` live ("v4l2" for "/dev/video0", "lavfi" for "testsrc2"); a
    // camera is asked for the picture size and rate.
    int Open(const std::string& path, const std::string& format, int width, int height, int fps, size_t maxFrameBytes);
    // The next access unit in decode order, its presentation time and its
    // decode time (when to send it), in microseconds since the source's first
    // decode time (growing across loops): 0, 1 when a live input has nothing
    // yet, or -1. forceKey matters only when re-encoding; re-encoded pictures
    // carry the beep marker when `marker` is set.
    int Next(bool forceKey, bool marker, std::vector<uint8_t>& out, bool& key, int64_t& timeUs, int64_t& sendUs);
    bool IsPassthrough() const { return m_bsf != nullptr; }
    int GetSkippedCount() const { return m_skipped; }
    const std::string& GetError() const { return m_error; }

private:
    int ReadPacket(); // a video packet into m_packet: 0, 1 when a live input has none yet, -1
    int Rewind();
    int64_t TimeOf(int64_t ts);
    int64_t LaterTimeOf(int64_t ts, int64_t fallbackUs) const;

    AVFormatContext* m_format = nullptr;
    AVBSFContext* m_bsf = nullptr;
    AVCodecContext* m_decoder = nullptr;
    SwsContext* m_sws = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_decoded = nullptr;
    std::unique_ptr<VideoEncoder> m_encoder;
    int m_stream = -1;
    size_t m_maxFrameBytes = 0;
    int64_t m_startTs = INT64_MIN;
    int64_t m_loopOffsetUs = 0;
    int64_t m_lastUs = 0;
    int64_t m_frameUs = 40000;
    bool m_waitKey = false;
    bool m_live = false;
    int m_skipped = 0;
    std::string m_error;
};
