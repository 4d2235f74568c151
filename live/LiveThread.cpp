#include "live/LiveThread.h"

#include "platform/Tick.h"

#include <algorithm>
#include <malloc.h>
#include <mutex>

LiveThread::LiveThread() {
    decoder.SetSource(&model);
    decoder.SetRender(&renderer);
    encoder.SetSink(&model);
    capture.SetEncoder(&encoder);
    decoder.SetRecorder(&recorder);
    OnMessage(UM_LIVE_COMMAND, [this](uintptr_t wParam, intptr_t lParam) { OnLiveCommand(wParam, lParam); });
    OnMessage(WM_TIMER, [this](uintptr_t wParam, intptr_t) { OnTimer(wParam); });
    // The recorder's writer thread reports a failed file; the pane thread handles it.
    recorder.SetFailureHandler([this] { PostThreadMessage(UM_RECORD_FAILED, 0, 0); });
    OnMessage(UM_RECORD_FAILED, [this](uintptr_t, intptr_t) { OnRecordFailedMessage(); });
}

LiveThread::~LiveThread() {
    Shutdown();
}

void LiveThread::Shutdown() {
    Quit();
    // The pane thread has ended, so this thread is now the only one touching
    // the pipeline. Stop in the live-stop order so a recording is finalised.
    if (m_pipelineOpen)
        StopPipeline();
    uid.clear();
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    liveState = PANE_STOPPED;
    talkState = PANE_STOPPED;
    recordState = PANE_STOPPED;
}

bool LiveThread::Post(uintptr_t command, CAVStateListener* listener) {
    return PostThreadMessage(UM_LIVE_COMMAND, command, reinterpret_cast<intptr_t>(listener));
}

int LiveThread::StartLive(const std::string& newUid, bool audio, CAVStateListener* listener,
                          const std::string& newPassword) {
    if (newUid.empty())
        return -1;
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    if (liveState != PANE_STOPPED)
        return 0;
    uid = newUid;
    password = newPassword;
    withAudio = audio ? 1 : 0;
    liveState = PANE_SWITCHING;
    if (!Post(CMD_START_LIVE, listener)) {
        // The pane thread is gone: never leave the pane switching.
        uid.clear();
        liveState = PANE_STOPPED;
        if (listener)
            listener->OnLiveFailed(this);
        return -1;
    }
    return 0;
}

int LiveThread::StopLive(CAVStateListener* listener) {
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    if (liveState != PANE_RUNNING)
        return 0;
    liveState = PANE_SWITCHING;
    if (!Post(CMD_STOP_LIVE, listener)) {
        liveState = PANE_RUNNING;
        return -1;
    }
    return 0;
}

// Talk-back and recording start only while live and stopped; a refused start
// reports its failure at once, on the caller's thread, with the lock held.
int LiveThread::RequestStart(std::atomic<int32_t>& state, uintptr_t command, CAVStateListener* listener,
                             int (CAVStateListener::*failed)(LiveThread*)) {
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    if (liveState == PANE_RUNNING && state == PANE_STOPPED) {
        state = PANE_SWITCHING;
        if (Post(command, listener))
            return 0;
        state = PANE_STOPPED;
    }
    if (listener)
        (listener->*failed)(this);
    return 0;
}

int LiveThread::RequestStop(std::atomic<int32_t>& state, uintptr_t command, CAVStateListener* listener) {
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    if (liveState != PANE_RUNNING || state != PANE_RUNNING)
        return 0;
    state = PANE_SWITCHING;
    if (!Post(command, listener)) {
        state = PANE_RUNNING;
        return -1;
    }
    return 0;
}

int LiveThread::StartTalk(CAVStateListener* listener) {
    return RequestStart(talkState, CMD_START_TALK, listener, &CAVStateListener::OnTalkFailed);
}

int LiveThread::StopTalk(CAVStateListener* listener) {
    return RequestStop(talkState, CMD_STOP_TALK, listener);
}

int LiveThread::StartRecord(CAVStateListener* listener) {
    return RequestStart(recordState, CMD_START_RECORD, listener, &CAVStateListener::OnRecordFailed);
}

int LiveThread::StopRecord(CAVStateListener* listener) {
    return RequestStop(recordState, CMD_STOP_RECORD, listener);
}

int LiveThread::SetRenderWindow(RenderTarget* window) {
    if (liveState == PANE_STOPPED)
        renderer.SetWindow(window);
    return 0;
}

void LiveThread::SetLiveState(int32_t state) {
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    liveState = state;
}

void LiveThread::OnLiveCommand(uintptr_t wParam, intptr_t lParam) {
    auto* listener = reinterpret_cast<CAVStateListener*>(lParam);
    switch (wParam) {
    case CMD_START_LIVE:
        StartLiveCommand(listener);
        break;
    case CMD_STOP_LIVE:
        StopLiveCommand(listener);
        break;
    case CMD_START_TALK:
        StartTalkCommand(listener);
        break;
    case CMD_STOP_TALK:
        StopTalkCommand(listener);
        break;
    case CMD_START_RECORD:
        StartRecordCommand(listener);
        break;
    case CMD_STOP_RECORD:
        StopRecordCommand(listener);
        break;
    default:
        break;
    }
}

// Connects and starts the video path, then the audio path when wanted. A
// failure of the video path closes what was opened and fails; a failure of the
// audio path leaves the pane live without sound.
bool LiveThread::OpenPipeline() {
    bool ok = model.Connect(uid.c_str(), password) == 0 && model.CreateVideoQueue() == 0 && model.StartVideo() == 0 &&
              decoder.StartVideoDecode() == 0;
    if (!ok) {
        decoder.StopVideoDecode();
        model.StopVideo();
        model.FreeVideoQueue();
        model.Close();
        renderer.ClearWindow();
        return false;
    }
    if (withAudio) {
        bool audioOk = model.CreateAudioQueue() == 0 && model.StartAudio() == 0 && decoder.StartAudioDecode() == 0;
        if (!audioOk) {
            decoder.StopAudioDecode();
            model.StopAudio();
            model.FreeAudioQueue();
        }
    }
    m_pipelineOpen = true;
    m_lastVideoFrames = model.GetVideoFrames();
    m_lastFrameTick = GetTickCount();
    SetTimer(WATCH_TIMER, kWatchMs);
    return true;
}

void LiveThread::StartLiveCommand(CAVStateListener* listener) {
    m_liveListener = listener;
    if (!OpenPipeline()) {
        uid.clear();
        SetLiveState(PANE_STOPPED);
        if (listener)
            listener->OnLiveFailed(this);
        return;
    }
    SetLiveState(PANE_RUNNING);
    if (listener)
        listener->OnLiveStarted(this);
}

// Stops talk-back, the audio path, the video path, the recorder and the
// session, in that order: no stage is stopped while an earlier one still feeds
// it. The pane then shows its empty fill.
void LiveThread::StopPipeline() {
    KillTimer(WATCH_TIMER);
    capture.StopCapture();
    encoder.StopEncoder();
    if (withAudio) {
        decoder.StopAudioDecode();
        model.StopAudio();
        model.FreeAudioQueue();
    }
    decoder.StopVideoDecode();
    model.StopVideo();
    model.FreeVideoQueue();
    recorder.Stop();
    model.Close();
    renderer.ClearWindow();
    m_pipelineOpen = false;
}

void LiveThread::StopLiveCommand(CAVStateListener* listener) {
    StopPipeline();
    // The pane's queues, pictures and codec buffers were freed in the threads
    // that used them; glibc keeps such pages in per-thread arenas for reuse.
    // Hand them back, so that a window left running for hours, live started
    // and stopped many times, does not hold its busiest hour's peak.
    malloc_trim(0);
    KillTimer(RETRY_TIMER);
    m_reconnecting = false;
    uid.clear();
    {
        std::lock_guard<NamedMutex> guard(m_statusMutex);
        liveState = PANE_STOPPED;
        talkState = PANE_STOPPED;
        recordState = PANE_STOPPED;
    }
    if (listener)
        listener->OnLiveStopped(this);
}

void LiveThread::Report(int (CAVStateListener::*slot)(LiveThread*)) {
    if (m_liveListener)
        (m_liveListener->*slot)(this);
}

void LiveThread::OnTimer(uintptr_t id) {
    if (id == WATCH_TIMER)
        WatchDevice();
    else if (id == RETRY_TIMER)
        Reconnect();
}

void LiveThread::WatchDevice() {
    if (!m_pipelineOpen || liveState != PANE_RUNNING)
        return;
    const uint32_t now = GetTickCount();
    const uint32_t frames = model.GetVideoFrames();
    if (frames != m_lastVideoFrames) {
        m_lastVideoFrames = frames;
        m_lastFrameTick = now;
    }
    if (!model.IsVideoLoopRunning() || now - m_lastFrameTick >= kSilenceMs)
        DropDevice();
}

// The device is gone: stop everything, keep the request to be live (and to
// record), and start reconnecting.
void LiveThread::DropDevice() {
    const bool wasTalking = talkState == PANE_RUNNING;
    StopPipeline();
    if (wasTalking) {
        talkState = PANE_STOPPED;
        Report(&CAVStateListener::OnTalkStopped);
    }
    m_reconnecting = true;
    m_retryMs = kFirstRetryMs;
    SetTimer(RETRY_TIMER, m_retryMs);
    Report(&CAVStateListener::OnLiveReconnecting);
}

void LiveThread::Reconnect() {
    KillTimer(RETRY_TIMER);
    if (!m_reconnecting || liveState != PANE_RUNNING)
        return;
    if (!OpenPipeline()) {
        m_retryMs = std::min(m_retryMs * 2, kLongestRetryMs);
        SetTimer(RETRY_TIMER, m_retryMs);
        return;
    }
    m_reconnecting = false;
    Report(&CAVStateListener::OnLiveStarted);
    if (recordState == PANE_RUNNING) {
        // The recording goes on in a new file.
        const bool ok = recorder.Start() == 0;
        if (!ok)
            recordState = PANE_STOPPED;
        Report(ok ? &CAVStateListener::OnRecordStarted : &CAVStateListener::OnRecordFailed);
    }
}

void LiveThread::StartTalkCommand(CAVStateListener* listener) {
    // Without a device (reconnecting) there is nobody to talk to.
    bool ok = !m_reconnecting && encoder.StartEncoder() == 0;
    if (ok && capture.StartCapture() != 0) {
        encoder.StopEncoder();
        ok = false;
    }
    talkState = ok ? PANE_RUNNING : PANE_STOPPED;
    if (listener) {
        if (ok)
            listener->OnTalkStarted(this);
        else
            listener->OnTalkFailed(this);
    }
}

void LiveThread::StopTalkCommand(CAVStateListener* listener) {
    capture.StopCapture();
    encoder.StopEncoder();
    talkState = PANE_STOPPED;
    if (listener)
        listener->OnTalkStopped(this);
}

void LiveThread::StartRecordCommand(CAVStateListener* listener) {
    m_recordListener = listener;
    bool ok = !m_reconnecting && recorder.Start() == 0;
    recordState = ok ? PANE_RUNNING : PANE_STOPPED;
    if (listener) {
        if (ok)
            listener->OnRecordStarted(this);
        else
            listener->OnRecordFailed(this);
    }
}

void LiveThread::StopRecordCommand(CAVStateListener* listener) {
    bool ok = recorder.Stop() == 0;
    recordState = PANE_STOPPED;
    if (listener) {
        if (ok)
            listener->OnRecordStopped(this);
        else
            listener->OnRecordFailed(this);
    }
}

// The running recording could not be written: it is stopped (what the file
// holds is kept) and its failure reported; live view goes on. A report about
// a recording that has since been stopped, or replaced, changes nothing; a
// stop requested meanwhile reports the failure itself.
void LiveThread::OnRecordFailedMessage() {
    {
        std::lock_guard<NamedMutex> guard(m_statusMutex);
        if (recordState != PANE_RUNNING || !recorder.HasFailed())
            return;
        recordState = PANE_SWITCHING; // a stop request now finds nothing to stop
    }
    recorder.Stop();
    recordState = PANE_STOPPED;
    if (m_recordListener)
        m_recordListener->OnRecordFailed(this);
}
