#pragma once

#include "live/CAVStateListener.h"
#include "media/AVDecoder.h"
#include "media/AudioEncoder.h"
#include "media/Mp4Recorder.h"
#include "media/Speaker.h"
#include "media/VideoRender.h"
#include "platform/MessageThread.h"
#include "platform/NamedMutex.h"
#include "session/AVModel.h"

#include <atomic>
#include <cstdint>
#include <string>

class RenderTarget;

constexpr uint32_t UM_LIVE_COMMAND = 0x401; // WM_USER + 1
// Posted by the pane's recorder when its recording failed (WM_USER + 2).
constexpr uint32_t UM_RECORD_FAILED = 0x402;

enum LiveCommand : uintptr_t {
    CMD_START_LIVE = 1,
    CMD_STOP_LIVE = 2,
    CMD_START_TALK = 3,
    CMD_STOP_TALK = 4,
    CMD_START_RECORD = 5,
    CMD_STOP_RECORD = 6,
};

enum PaneState : int32_t {
    PANE_RUNNING = 0,
    PANE_STOPPED = 1,
    PANE_SWITCHING = 2,
};

// The thread that drives one live pane. The UI thread calls the request
// operations, which test and set the pane's states under the "LiveStatus" lock
// and post one UM_LIVE_COMMAND; the pane thread does the slow work (connect,
// start and stop the pipeline) and reports the outcome to the listener. Every
// state field moves through PANE_SWITCHING, so at most one command per state
// is ever queued. The states are atomics: the UI thread reads them unlocked.
//
// While live, a watch timer checks the device once a second: when its session
// has closed, or no picture has been decoded for kSilenceMs (whether frames
// come or not), the pane tears its pipeline down (finalising a recording,
// ending talk-back), reports OnLiveReconnecting and tries to connect again
// after kFirstRetryMs, doubling the wait up to kLongestRetryMs (each wait
// +-20% at random, so that panes do not retry in step), until the device is
// back or live view is stopped. The wait starts again from kFirstRetryMs only
// after the pane has shown pictures for kSteadyMs; a recording resumes, in a
// new file, with the first picture after a reconnect.
class LiveThread : public MessageThread {
public:
    LiveThread();
    ~LiveThread() override;

    // `password` opens the device's channel; empty: the devices' fixed one.
    int StartLive(const std::string& uid, bool withAudio, CAVStateListener* listener, const std::string& password = {});
    int StopLive(CAVStateListener* listener);
    int StartTalk(CAVStateListener* listener);
    int StopTalk(CAVStateListener* listener);
    int StartRecord(CAVStateListener* listener);
    int StopRecord(CAVStateListener* listener);
    int SetRenderWindow(RenderTarget* window);

    int GetLiveState() const { return liveState.load(); }
    int GetTalkState() const { return talkState.load(); }
    int GetRecordState() const { return recordState.load(); }
    // True from StartLive until the start has ended (live or not): StopLive
    // is accepted meanwhile and cancels the connect.
    bool IsStarting() const { return m_starting.load(); }
    // True while the pane thread connects to the device (a start or a reconnect).
    bool IsConnecting() const { return m_connecting.load(); }

    // Ends the pane thread and stops whatever the pane still runs (talk-back,
    // recording, live view), finalising a recording. Safe to call more than
    // once; the destructor calls it. Several panes may shut down in parallel.
    // False when a recording could not be finalised (no listener is told:
    // the window is gone); GetRecordingName() names its file.
    bool Shutdown();
    // The file the pane's recorder last wrote to ("" when none).
    std::string GetRecordingName() { return recorder.GetFileName(); }
    // Why the last connect of a start or reconnect failed (0 when it did not).
    // A device whose key differs from the pinned one is a final failure: the
    // pane stops with OnLiveFailed and does not try again. Read from the
    // OnLiveFailed call, on the pane's thread.
    int GetConnectError() const { return m_connectError; }
    const std::string& GetSeenIdentity() const { return model.GetSeenIdentity(); }
    const std::string& GetPinnedIdentity() const { return model.GetPinnedIdentity(); }
    const std::string& GetUid() const { return m_connectUid; }

    static constexpr uint32_t kWatchMs = 1000;
    static constexpr uint32_t kSilenceMs = 5000;
    static constexpr uint32_t kFirstRetryMs = 2000;
    static constexpr uint32_t kLongestRetryMs = 30000;
    static constexpr uint32_t kSteadyMs = 10000;

private:
    enum Timer : uintptr_t { WATCH_TIMER = 1, RETRY_TIMER = 2 };
    void OnLiveCommand(uintptr_t wParam, intptr_t lParam);
    void StartLiveCommand(CAVStateListener* listener);
    void StopLiveCommand(CAVStateListener* listener);
    void StartTalkCommand(CAVStateListener* listener);
    void StopTalkCommand(CAVStateListener* listener);
    void StartRecordCommand(CAVStateListener* listener);
    void StopRecordCommand(CAVStateListener* listener);
    bool OpenPipeline();
    void OnRecordFailedMessage();
    // False when the recording it stopped could not be finalised.
    bool StopPipeline();
    void OnTimer(uintptr_t id);
    void WatchDevice();
    void DropDevice();
    void Reconnect();
    void ScheduleReconnect();
    void ResumeRecording();
    void Report(int (CAVStateListener::*slot)(LiveThread*));
    void SetLiveState(int32_t state);
    bool Post(uintptr_t command, CAVStateListener* listener);
    int RequestStart(std::atomic<int32_t>& state, uintptr_t command, CAVStateListener* listener,
                     int (CAVStateListener::*failed)(LiveThread*));
    int RequestStop(std::atomic<int32_t>& state, uintptr_t command, CAVStateListener* listener);

    std::string uid;
    std::string password;
    uint8_t withAudio = 0;
    NamedMutex m_statusMutex{"LiveStatus"};
    std::atomic<int32_t> liveState{PANE_STOPPED};
    AVModel model;
    AVDecoder decoder;
    VideoRender renderer;
    std::atomic<int32_t> talkState{PANE_STOPPED};
    Speaker capture;
    AudioEncoder encoder;
    std::atomic<int32_t> recordState{PANE_STOPPED};
    Mp4Recorder recorder;
    // Pane thread only, from here on.
    bool m_pipelineOpen = false;                // the pipeline holds a session and threads
    std::atomic<bool> m_reconnecting{false};    // live, waiting for the device to come back
    std::atomic<bool> m_connecting{false};      // a start or a reconnect is connecting
    std::atomic<bool> m_starting{false};        // a start is queued or running; set under the status lock
    bool m_stopWanted = false;                  // a stop came during the start; under the status lock
    CAVStateListener* m_stopListener = nullptr; // who asked for it
    CAVStateListener* m_liveListener = nullptr; // where drops and reconnects are reported
    uint32_t m_lastPictures = 0;
    uint32_t m_lastPictureTick = 0;
    uint32_t m_firstPictureTick = 0;              // of this connection; 0 before its first picture
    uint32_t m_retryMs = 0;                       // the last wait before a reconnect; 0 before the first
    int m_connectError = 0;                       // of the last connect
    std::string m_connectUid;                     // the UID it was for
    bool m_resumeRecording = false;               // at the next picture
    CAVStateListener* m_recordListener = nullptr; // who started the recording
};
