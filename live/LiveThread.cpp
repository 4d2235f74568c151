#include "live/LiveThread.h"

#include "p2p/P2PErrors.h"

#include "platform/Tick.h"

#include <algorithm>
#include <malloc.h>
#include <mutex>
#include <random>

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

bool LiveThread::Shutdown() {
    // A connect in progress must not hold the window open: cancel it first.
    model.CancelConnect();
    Quit();
    // The pane thread has ended, so this thread is now the only one touching
    // the pipeline. Stop in the live-stop order so a recording is finalised;
    // one that failed while running and was not reported yet counts too.
    bool recorded = m_pipelineOpen ? StopPipeline() : recorder.Stop() == 0;
    uid.clear();
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    liveState = PANE_STOPPED;
    talkState = PANE_STOPPED;
    recordState = PANE_STOPPED;
    return recorded;
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
    m_starting = true;
    m_stopWanted = false;
    model.AllowConnect();
    if (!Post(CMD_START_LIVE, listener)) {
        // The pane thread is gone: never leave the pane switching.
        uid.clear();
        liveState = PANE_STOPPED;
        m_starting = false;
        if (listener)
            listener->OnLiveFailed(this);
        return -1;
    }
    return 0;
}

// A stop wins over a connect in progress: the connect is cancelled, and the
// start (or reconnect) ends as a stop.
int LiveThread::StopLive(CAVStateListener* listener) {
    std::lock_guard<NamedMutex> guard(m_statusMutex);
    if (liveState == PANE_SWITCHING && m_starting && !m_stopWanted) {
        m_stopWanted = true;
        m_stopListener = listener;
        model.CancelConnect();
        return 0;
    }
    if (liveState != PANE_RUNNING)
        return 0;
    liveState = PANE_SWITCHING;
    if (!Post(CMD_STOP_LIVE, listener)) {
        liveState = PANE_RUNNING;
        return -1;
    }
    if (m_reconnecting)
        model.CancelConnect();
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
    m_connecting = true;
    m_connectUid = uid;
    m_connectError = model.Connect(uid.c_str(), password);
    bool ok = m_connectError == 0;
    m_connecting = false;
    ok = ok && model.CreateVideoQueue() == 0 && model.StartVideo() == 0 && decoder.StartVideoDecode() == 0;
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
    m_lastPictures = decoder.GetPictures();
    m_lastPictureTick = GetTickCount();
    m_firstPictureTick = 0;
    SetTimer(WATCH_TIMER, kWatchMs);
    return true;
}

void LiveThread::StartLiveCommand(CAVStateListener* listener) {
    m_liveListener = listener;
    m_retryMs = 0;
    m_resumeRecording = false;
    const bool opened = OpenPipeline();
    bool stopWanted = false;
    CAVStateListener* stopListener = nullptr;
    {
        std::lock_guard<NamedMutex> guard(m_statusMutex);
        std::swap(stopWanted, m_stopWanted);
        stopListener = m_stopListener;
        m_starting = false;
        if (opened && !stopWanted)
            liveState = PANE_RUNNING;
    }
    if (opened && !stopWanted) {
        if (listener)
            listener->OnLiveStarted(this);
        return;
    }
    // Failed, or stopped by the operator while connecting.
    if (opened)
        StopPipeline();
    uid.clear();
    SetLiveState(PANE_STOPPED);
    if (stopWanted && stopListener)
        stopListener->OnLiveStopped(this);
    else if (!stopWanted && listener)
        listener->OnLiveFailed(this);
}

// Stops talk-back, the audio path, the video path, the recorder and the
// session, in that order: no stage is stopped while an earlier one still feeds
// it. The pane then shows its empty fill.
bool LiveThread::StopPipeline() {
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
    const bool recorded = recorder.Stop() == 0;
    model.Close();
    renderer.ClearWindow();
    m_pipelineOpen = false;
    return recorded;
}

void LiveThread::StopLiveCommand(CAVStateListener* listener) {
    const bool recorded = StopPipeline();
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
    if (listener) {
        listener->OnLiveStopped(this);
        // After the stop, which shows every column ready: the recording it
        // ended could not be put on the disk whole.
        if (!recorded)
            listener->OnRecordFailed(this);
    }
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
    const uint32_t pictures = decoder.GetPictures();
    if (pictures != m_lastPictures) {
        m_lastPictures = pictures;
        m_lastPictureTick = now;
        if (m_firstPictureTick == 0)
            m_firstPictureTick = now | 1;
        ResumeRecording();
    }
    if (!model.IsVideoLoopRunning() || now - m_lastPictureTick >= kSilenceMs)
        DropDevice();
}

void LiveThread::ResumeRecording() {
    if (!m_resumeRecording)
        return;
    m_resumeRecording = false;
    if (recordState != PANE_RUNNING)
        return;
    const bool ok = recorder.Start() == 0;
    if (!ok)
        recordState = PANE_STOPPED;
    Report(ok ? &CAVStateListener::OnRecordStarted : &CAVStateListener::OnRecordFailed);
}

// The device is gone: stop everything, keep the request to be live (and to
// record), and start reconnecting.
void LiveThread::DropDevice() {
    const bool wasTalking = talkState == PANE_RUNNING;
    const bool recorded = StopPipeline();
    if (wasTalking) {
        talkState = PANE_STOPPED;
        Report(&CAVStateListener::OnTalkStopped);
    }
    if (!recorded && recordState == PANE_RUNNING) {
        // A recording that could not be finalised does not resume.
        recordState = PANE_STOPPED;
        Report(&CAVStateListener::OnRecordFailed);
    }
    m_reconnecting = true;
    m_resumeRecording = false;
    // Only a connection that showed pictures for a while starts the waits
    // afresh: one that connects and shows nothing backs off further.
    const bool steady = m_firstPictureTick != 0 && GetTickCount() - m_firstPictureTick >= kSteadyMs;
    if (steady)
        m_retryMs = 0;
    ScheduleReconnect();
    Report(&CAVStateListener::OnLiveReconnecting);
}

void LiveThread::ScheduleReconnect() {
    m_retryMs = m_retryMs == 0 ? kFirstRetryMs : std::min(m_retryMs * 2, kLongestRetryMs);
    thread_local std::minstd_rand random{std::random_device{}()};
    std::uniform_int_distribution<uint32_t> jitter(m_retryMs * 4 / 5, m_retryMs * 6 / 5);
    SetTimer(RETRY_TIMER, jitter(random));
}

void LiveThread::Reconnect() {
    KillTimer(RETRY_TIMER);
    if (!m_reconnecting || liveState != PANE_RUNNING)
        return;
    const bool opened = OpenPipeline();
    // A stop that came meanwhile wins: its command, queued behind this one,
    // ends what was opened; nothing is reported, no recording starts.
    if (liveState != PANE_RUNNING)
        return;
    if (!opened && m_connectError == P2P_ERR_IDENTITY_MISMATCH) {
        // Another device answers for the UID: trying again will not help.
        m_reconnecting = false;
        uid.clear();
        if (recordState == PANE_RUNNING) {
            recordState = PANE_STOPPED;
            Report(&CAVStateListener::OnRecordFailed);
        }
        SetLiveState(PANE_STOPPED);
        Report(&CAVStateListener::OnLiveFailed);
        return;
    }
    if (!opened) {
        ScheduleReconnect();
        return;
    }
    m_reconnecting = false;
    Report(&CAVStateListener::OnLiveStarted);
    // The recording goes on in a new file once a picture shows that the
    // camera really sends.
    m_resumeRecording = recordState == PANE_RUNNING;
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
