#pragma once

#include "platform/NamedMutex.h"

#include <atomic>
#include <cstdint>
#include <thread>

class AVModel;
class Mp4Recorder;
class VideoRender;

// Decodes a pane's stream: a video thread feeds the H.264 frames of the
// session's videoQueue to libavcodec and submits every picture to the
// VideoRender (which it starts and stops); an audio thread feeds the AAC
// frames of the audioQueue and writes every block of samples to a WavePlayer
// of its own. Each raw frame is also copied to the recorder, decoded or not.
// Every packet is offered to the decoder once; a bad one changes nothing that
// follows. The audio thread tells the renderer when each block will be heard,
// so that pictures keep in step with their sound.
class AVDecoder {
public:
    // Sound is played at most this long after it is decoded.
    static constexpr uint32_t kMaxSoundDelayMs = 80;

    AVDecoder();
    ~AVDecoder();
    AVDecoder(const AVDecoder&) = delete;
    AVDecoder& operator=(const AVDecoder&) = delete;

    void SetSource(AVModel* model);
    void SetRender(VideoRender* render);
    void SetRecorder(Mp4Recorder* recorder);

    int StartVideoDecode();
    int StopVideoDecode();
    int StartAudioDecode();
    int StopAudioDecode();

    // Counts since construction: frames taken from the queues, pictures and
    // audio blocks that came out of the decoders, and the bytes of sample
    // data decoded for the player.
    uint32_t GetVideoPackets() const { return m_videoPackets.load(); }
    uint32_t GetAudioPackets() const { return m_audioPackets.load(); }
    uint32_t GetPictures() const { return m_pictures.load(); }
    uint32_t GetAudioBlocks() const { return m_audioBlocks.load(); }
    uint64_t GetAudioBytes() const { return m_audioBytes.load(); }

private:
    void VideoDecodeThread();
    void AudioDecodeThread();
    bool StopRequested(const std::atomic<uint8_t>& flag);
    // Ends the wait of the video or audio thread for its next frame.
    void WakeReader(bool video);

    std::atomic<AVModel*> source{nullptr};
    std::atomic<VideoRender*> render{nullptr};
    std::atomic<Mp4Recorder*> recorder{nullptr};
    NamedMutex m_exitLock{"HandleExit"};
    std::atomic<uint8_t> videoStop{1};
    std::atomic<uint8_t> audioStop{1};
    NamedMutex m_objectLock{"HandleDecoder"};
    std::thread m_videoThread;
    std::thread m_audioThread;

    std::atomic<uint32_t> m_videoPackets{0};
    std::atomic<uint32_t> m_audioPackets{0};
    std::atomic<uint32_t> m_pictures{0};
    std::atomic<uint32_t> m_audioBlocks{0};
    std::atomic<uint64_t> m_audioBytes{0};
};
