#pragma once

#include "p2p/Protocol.h"
#include "session/FrameBufferList.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// One session with one camera device over the peer-to-peer transport: opens
// the session and the AV channel by UID, sends the device its control
// messages, and runs one thread that receives video frames into videoQueue
// and one that receives audio frames into audioQueue. The decoders take the
// frames from the queues directly.
//
// The transport is process-wide: every model holds one counted reference on
// it (sdkUsers, guarded by the named lock "IOTCInitLock"); the first model up
// initialises it and the last one gone shuts it down.
//
// The pane's thread drives a model; only StartSpeaker, SendSpeakerData and
// StopSpeaker come from the talk-back encoder's thread.
class AVModel {
public:
    // Every frame the transport can carry fits a buffer, with zeroed room
    // behind it that the decoder may read ahead into. The buffers are not
    // cleared at start, so a pane's resident memory grows only with the
    // frames it actually gets: at most kVideoBuffers x its largest frame.
    static constexpr uint32_t kVideoBuffers = 15;
    static constexpr uint32_t kLargestVideoFrame = p2p::kMaxFrameSize;
    static constexpr uint32_t kFramePadding = 64;
    static constexpr uint32_t kVideoBufferSize = kLargestVideoFrame + kFramePadding;
    static constexpr uint32_t kAudioBuffers = 50;
    static constexpr uint32_t kAudioBufferSize = 1024;
    static constexpr int kStopWaitMs = 3000;
    static constexpr int kNoDataWaitMs = 300;    // longest wait of a receive loop for its next frame
    static constexpr int kKeyFrameWaitMs = 3000; // longest skip after a lost video frame (under the pane's watch)

    AVModel();
    virtual ~AVModel();
    AVModel(const AVModel&) = delete;
    AVModel& operator=(const AVModel&) = delete;

    // Opens the channel with `password`, or with the devices' fixed password
    // when it is empty (devices added before passwords were kept).
    int Connect(const char* uid, const std::string& password = {});
    // After a Connect that failed with P2P_ERR_IDENTITY_MISMATCH: the key
    // the device showed and the one pinned for its UID. Empty otherwise.
    const std::string& GetSeenIdentity() const { return m_seenIdentity; }
    const std::string& GetPinnedIdentity() const { return m_pinnedIdentity; }
    int Close();
    // From any thread: closes the session of a Connect in progress, so that
    // it fails at once; every Connect fails from now until AllowConnect(). An
    // open session is left to Close.
    void CancelConnect();
    void AllowConnect();
    int CreateVideoQueue();
    int CreateAudioQueue();
    int FreeVideoQueue();
    int FreeAudioQueue();
    int StartVideo();
    int StartAudio();
    int StopVideo();
    int StopAudio();
    int StartSpeaker();
    int SendSpeakerData(const void* data, int length);
    int StopSpeaker();

    // True from StartVideo / StartAudio until the receive loop ends (it also
    // ends by itself when the device closes the session).
    bool IsVideoLoopRunning() const { return m_videoLoopRunning.load(); }
    bool IsAudioLoopRunning() const { return m_audioLoopRunning.load(); }
    // Video frames received since construction.
    uint32_t GetVideoFrames() const { return m_videoFrames.load(); }

    // Models holding a reference on the transport; guarded by "IOTCInitLock".
    static int32_t sdkUsers;

    std::atomic<int32_t> avIndex{-1};
    std::atomic<uint8_t> videoStop{1};
    std::atomic<uint8_t> audioStop{1};
    std::unique_ptr<FrameBufferList> videoQueue;
    std::unique_ptr<FrameBufferList> audioQueue;
    int32_t sessionId = -1;
    bool sdkReady = false;
    std::thread videoThread;
    std::thread audioThread;

private:
    static int AcquireSdk();
    static void ReleaseSdk();
    int StartReceiver(bool video);
    void StopReceiver(bool video);
    void VideoLoop();
    void AudioLoop();

    bool HoldSession(int32_t id);
    bool FinishConnect();

    std::string m_seenIdentity; // the driving thread's only
    std::string m_pinnedIdentity;
    std::mutex m_cancelMutex; // guards the two below
    int32_t m_heldSession = -1;
    bool m_connectCancelled = false;
    std::atomic<bool> m_videoLoopRunning{false};
    std::atomic<bool> m_audioLoopRunning{false};
    std::atomic<uint32_t> m_videoFrames{0};
};
