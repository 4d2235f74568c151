#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// H.264 through libavcodec's libx264: Annex B access units, one per picture
// (no B-frames, no look-ahead), an IDR with SPS and PPS at least every
// second, and rate control that keeps every access unit within maxFrameBytes.
// Should one still come out larger, it is dropped, the next picture is forced
// to an IDR and the bit rate is lowered.
class VideoEncoder {
public:
    VideoEncoder() = default;
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // 0, or a negative value with the reason in GetError().
    int Open(int width, int height, int fps, size_t maxFrameBytes);
    // The picture to paint before Encode (YUV 4:2:0, writable).
    AVFrame* Picture() { return m_frame; }
    // Encodes Picture(). out receives the access unit, or stays empty when the
    // encoder produced nothing or the unit was dropped. Returns 0 or negative.
    int Encode(bool forceKey, std::vector<uint8_t>& out, bool& key);
    const std::string& GetError() const { return m_error; }
    int GetDroppedCount() const { return m_dropped; }

private:
    AVCodecContext* m_ctx = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    size_t m_maxFrameBytes = 0;
    int64_t m_pts = 0;
    bool m_forceNext = false;
    int m_dropped = 0;
    std::string m_error;
};
